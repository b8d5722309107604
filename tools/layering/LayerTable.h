// The layer table of cmake/layers.txt: which folders each folder's code may include and link,
// and the check of a tree's includes against it.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace layering {

struct Violation {
    std::string file; // path inside the tree, or a target name for a link
    int line = 0;     // 0 for a link
    std::string what;
};

class LayerTable {
  public:
    // Lines "folder: dependency ..." with '#' comments; "*" allows anything. The row named
    // "tests" lists what a tests/ folder may use beyond its own folder's allowance.
    static std::optional<LayerTable> parse(const std::string& text, std::string* error);

    // The row a path belongs to: the longest row name that is the path or a folder above it.
    std::optional<std::string> folderOf(const std::string& path) const;
    // Whether code at `fromPath` may use `toPath` (an include, or a linked library's folder).
    bool mayUse(const std::string& fromPath, const std::string& toPath) const;

  private:
    bool allows(const std::string& row, const std::string& toPath, std::set<std::string>& seen) const;
    static bool isInside(const std::string& path, const std::string& folder);
    static bool isTestPath(const std::string& path);

    std::map<std::string, std::vector<std::string>> m_rows;
};

// Every quoted include of the tree's C and C++ files (build folders, hidden folders and fuzz
// corpora left out) that the table forbids, with its file and line.
std::vector<Violation> checkIncludes(const std::string& root, const LayerTable& table);

// Lines "<target> <folder> <linked target> <linked folder>" as the configure step writes them;
// a target whose sources lie in a tests/ folder has "tests/" after its folder.
std::vector<Violation> checkLinks(const std::string& linksText, const LayerTable& table);

} // namespace layering
