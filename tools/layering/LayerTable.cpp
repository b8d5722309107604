#include "tools/layering/LayerTable.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace layering {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTestsRow = "tests";

// The quoted name of an `#include "..."` line, or nothing.
std::optional<std::string> quotedInclude(const std::string& line) {
    size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || line[at] != '#') return std::nullopt;
    at = line.find_first_not_of(" \t", at + 1);
    if (at == std::string::npos || line.compare(at, 7, "include") != 0) return std::nullopt;
    at = line.find_first_not_of(" \t", at + 7);
    if (at == std::string::npos || line[at] != '"') return std::nullopt;
    size_t end = line.find('"', at + 1);
    if (end == std::string::npos) return std::nullopt;
    return line.substr(at + 1, end - at - 1);
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

} // namespace

std::optional<LayerTable> LayerTable::parse(const std::string& text, std::string* error) {
    LayerTable table;
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        std::string line = trim(raw.substr(0, raw.find('#')));
        if (line.empty()) continue;
        size_t colon = line.find(':');
        std::string row = colon == std::string::npos ? std::string() : trim(line.substr(0, colon));
        if (row.empty() || table.m_rows.count(row)) {
            if (error) *error = "line " + std::to_string(number) + ": " + (row.empty() ? "no folder" : "twice: " + row);
            return std::nullopt;
        }
        std::istringstream deps(line.substr(colon + 1));
        std::vector<std::string>& list = table.m_rows[row];
        for (std::string dep; deps >> dep;) list.push_back(dep);
    }
    return table;
}

bool LayerTable::isInside(const std::string& path, const std::string& folder) {
    return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                              path[folder.size()] == '/');
}

bool LayerTable::isTestPath(const std::string& path) {
    return path.rfind("tests/", 0) == 0 || path.find("/tests/") != std::string::npos ||
           (path.size() >= 6 && path.compare(path.size() - 6, 6, "/tests") == 0);
}

std::optional<std::string> LayerTable::folderOf(const std::string& path) const {
    std::optional<std::string> best;
    for (const auto& [row, deps] : m_rows) {
        if (row != kTestsRow && isInside(path, row) && (!best || row.size() > best->size())) best = row;
    }
    return best;
}

bool LayerTable::allows(const std::string& row, const std::string& toPath, std::set<std::string>& seen) const {
    if (!seen.insert(row).second) return false;
    if (isInside(toPath, row)) return true;
    auto found = m_rows.find(row);
    if (found == m_rows.end()) return false;
    for (const std::string& dep : found->second) {
        if (dep == "*" || isInside(toPath, dep)) return true;
        // What a named folder may use is open to its users too; a named sub-folder that is not
        // a row of its own (drivers name platform/kernel) opens only itself.
        if (m_rows.count(dep) && allows(dep, toPath, seen)) return true;
    }
    return false;
}

bool LayerTable::mayUse(const std::string& fromPath, const std::string& toPath) const {
    auto from = folderOf(fromPath);
    if (!from) return false;
    std::set<std::string> seen;
    if (allows(*from, toPath, seen)) return true;
    if (!isTestPath(fromPath) || !m_rows.count(kTestsRow)) return false;
    // The tests row names folders, not their allowances: tests may use the tools/ peers
    // themselves without inheriting what those tools may include.
    for (const std::string& dep : m_rows.at(kTestsRow)) {
        if (isInside(toPath, dep)) return true;
    }
    return false;
}

std::vector<Violation> checkIncludes(const std::string& root, const LayerTable& table) {
    std::vector<Violation> found;
    fs::path top(root);
    auto it = fs::recursive_directory_iterator(top);
    for (; it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& path = it->path();
        std::string name = path.filename().string();
        std::string relative = fs::relative(path, top).generic_string();
        if (it->is_directory()) {
            if (name.front() == '.' || name.rfind("build", 0) == 0 || relative == "fuzz/corpus")
                it.disable_recursion_pending();
            continue;
        }
        std::string ext = path.extension().string();
        if (ext != ".cpp" && ext != ".h" && ext != ".cc" && ext != ".hpp" && ext != ".c") continue;
        auto folder = table.folderOf(relative);
        if (!folder) {
            if (relative.find('/') != std::string::npos)
                found.push_back({relative, 0, "its folder is not in the layer table"});
            continue;
        }
        std::ifstream in(path);
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            auto included = quotedInclude(line);
            if (!included) continue;
            const std::string& target = *included;
            // A bare name is the folder's own file; a path outside every row is not ours.
            if (target.find('/') == std::string::npos || !table.folderOf(target)) continue;
            if (!table.mayUse(relative, target))
                found.push_back({relative, number, *folder + " may not include " + target});
        }
    }
    return found;
}

std::vector<Violation> checkLinks(const std::string& linksText, const LayerTable& table) {
    std::vector<Violation> found;
    std::istringstream in(linksText);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string target, folder, linked, linkedFolder;
        if (!(fields >> target >> folder >> linked >> linkedFolder)) continue;
        if (!table.folderOf(folder)) {
            found.push_back({target, 0, "folder " + folder + " is not in the layer table"});
        } else if (!table.mayUse(folder, linkedFolder)) {
            found.push_back({target, 0, folder + " may not link " + linked + " (" + linkedFolder + ")"});
        }
    }
    return found;
}

} // namespace layering
