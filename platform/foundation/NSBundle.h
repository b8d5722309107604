// NSBundle: an application's folder (X.app/Contents/{Info.plist, MacOS/<exe>, Resources/}),
// its information dictionary, resources and string tables. A folder without Contents/ is a flat
// bundle: its Info.plist and resources sit in the folder itself.
#pragma once

#include "platform/corefoundation/Value.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace ns {

class NSBundle {
  public:
    // From /proc/self/exe: X.app/Contents/MacOS/<exe> gives X.app; any other executable gives
    // its folder with empty info.
    static std::shared_ptr<NSBundle> mainBundle();
    // Tests point the main bundle elsewhere; null goes back to the executable's.
    static void setMainBundle(std::shared_ptr<NSBundle> bundle);
    // The main bundle: every class lives in the program's own bundle here.
    static std::shared_ptr<NSBundle> bundleForClass() { return mainBundle(); }
    // The path goes through platform::macPath; nil when it is not a folder.
    static std::shared_ptr<NSBundle> bundleWithPath(std::string_view path);

    const std::string& bundlePath() const { return m_path; }
    std::string resourcePath() const;
    // Contents/MacOS/<CFBundleExecutable>; nil without that key.
    std::optional<std::string> executablePath() const;

    // A dictionary; empty when Info.plist is missing or unreadable.
    const cf::Value& infoDictionary() const { return m_info; }
    std::optional<std::string> bundleIdentifier() const;
    std::optional<cf::Value> objectForInfoDictionaryKey(std::string_view key) const;

    // Looks in Resources, then en.lproj, then Base.lproj; a nil or empty type means name is the
    // whole file name. Folders count. nil when absent.
    std::optional<std::string> pathForResource(std::string_view name,
                                               std::optional<std::string_view> type) const;
    // <table>.strings (nil or empty table: "Localizable") from en.lproj, Base.lproj or
    // Resources: the key's text when found, else value when non-empty, else the key.
    std::string localizedStringForKey(std::string_view key, std::optional<std::string_view> value,
                                      std::optional<std::string_view> table) const;

    NSBundle(std::string path, std::string contentsPath, cf::Value info);

  private:
    std::optional<cf::Dictionary> stringTable(const std::string& table) const;

    std::string m_path;
    std::string m_contents; // Contents/ of an app, the folder itself for a flat bundle
    cf::Value m_info;
    mutable std::mutex m_tablesMutex;
    mutable std::map<std::string, std::optional<cf::Dictionary>> m_tables;
};

// NSLocalizedString(key, comment): the main bundle's default table, no value.
std::string NSLocalizedString(std::string_view key, std::string_view comment = {});

} // namespace ns
