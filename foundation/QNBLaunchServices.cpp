#include "foundation/QNBLaunchServices.h"

#include "foundation/FileURL.h"

#include "platform/appkit/NSRunningApplicationIcon.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/services/LSSharedFileList.h"

#include <algorithm>
#include <dirent.h>
#include <set>
#include <sys/stat.h>

namespace foundation {

namespace {

// ---- Login items

// The user's list, or every user's; the global one takes the authorization before any change.
ls::LSSharedFileListRef loginItemsList(bool global, const security::AuthorizationRef& authorization) {
    auto list = ls::LSSharedFileListCreate(
        nullptr, global ? ls::kLSSharedFileListGlobalLoginItems : ls::kLSSharedFileListSessionLoginItems,
        nullptr);
    if (list && global) ls::LSSharedFileListSetAuthorization(list, authorization);
    return list;
}

bool listHoldsApp(const ls::LSSharedFileListRef& list, const std::string& appURL) {
    for (const auto& item : ls::LSSharedFileListCopySnapshot(list, nullptr)) {
        if (ProbableFileURLsAreEqual(ls::LSSharedFileListItemResolve(item, 0), appURL)) return true;
    }
    return false;
}

// The check before an insert and the insert are two requests, so two processes adding the
// same application at once may both insert. Each adder then keeps only the first entry naming
// the file, so both converge on that same one entry.
void keepFirstEntryOnly(const ls::LSSharedFileListRef& list, const std::string& appURL) {
    bool first = true;
    for (const auto& item : ls::LSSharedFileListCopySnapshot(list, nullptr)) {
        if (!ProbableFileURLsAreEqual(ls::LSSharedFileListItemResolve(item, 0), appURL)) continue;
        if (!first) ls::LSSharedFileListItemRemove(list, item);
        first = false;
    }
}

// ---- Installed applications, as Launch Services would know them

struct Application {
    std::string path;
    cf::Value info; // Info.plist, a dictionary
};

std::optional<std::string> textIn(const cf::Value& dictionary, std::string_view key) {
    const cf::Value* value = dictionary.find(key);
    if (!value || !value->asString()) return std::nullopt;
    return *value->asString();
}

bool arrayHoldsText(const cf::Value* array, std::string_view text) {
    if (!array || !array->isArray()) return false;
    for (const auto& item : *array->asArray())
        if (item.asString() && *item.asString() == text) return true;
    return false;
}

// The application bundles in the Applications folder, by name.
std::vector<Application> installedApplications() {
    std::string folder = platform::macPath("/Applications");
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.ends_with(".app")) names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<Application> apps;
    for (const auto& name : names) {
        std::string path = folder + "/" + name;
        auto info = cf::readPropertyListFile(path + "/Contents/Info.plist");
        if (info && info->isDictionary()) apps.push_back({path, *info});
    }
    return apps;
}

std::optional<Application> applicationWithBundleIdentifier(const std::string& bundleIdentifier) {
    for (auto& app : installedApplications())
        if (textIn(app.info, "CFBundleIdentifier") == bundleIdentifier) return app;
    return std::nullopt;
}

uint32_t roleMask(const cf::Value& documentType) {
    auto role = textIn(documentType, "CFBundleTypeRole");
    if (role == "Viewer") return kLSRolesViewer;
    if (role == "Editor") return kLSRolesEditor;
    if (role == "Shell") return kLSRolesShell;
    return kLSRolesNone;
}

// Bundle identifiers of the applications declaring the type in one of the roles, in order.
std::vector<std::string> roleHandlersForContentType(const std::string& contentType, uint32_t roles) {
    std::vector<std::string> handlers;
    for (const auto& app : installedApplications()) {
        auto identifier = textIn(app.info, "CFBundleIdentifier");
        const cf::Value* types = app.info.find("CFBundleDocumentTypes");
        if (!identifier || !types || !types->isArray()) continue;
        for (const auto& type : *types->asArray()) {
            if (!type.isDictionary() || !(roleMask(type) & roles)) continue;
            if (!arrayHoldsText(type.find("LSItemContentTypes"), contentType)) continue;
            handlers.push_back(*identifier);
            break;
        }
    }
    return handlers;
}

// The application's own icon image; else the image of the generic name, which the system's
// generic application icon stands for when no bundle here carries one by that name.
std::shared_ptr<appkit::NSImage> iconOf(const Application& app) {
    if (auto icon = appkit::iconOfBundle(app.path)) return icon;
    if (auto named = appkit::NSImage::imageNamed(kGenericApplicationIconName)) return named;
    auto generic = appkit::genericApplicationIcon();
    generic->setName(kGenericApplicationIconName);
    return generic;
}

} // namespace

bool ProbableFileURLsAreEqual(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (!a || !b) return false;
    if (*a == *b) return true;
    if (!isFileURL(*a) || !isFileURL(*b)) return false;
    auto pathA = pathOfFileURL(*a), pathB = pathOfFileURL(*b);
    if (!pathA || !pathB) return false;
    return stringByStandardizingPath(*pathA) == stringByStandardizingPath(*pathB);
}

QNBLaunchServices& QNBLaunchServices::sharedServices() {
    static QNBLaunchServices shared;
    return shared;
}

void QNBLaunchServices::addAppAsLoginItem(const std::string& appURL) { addAppAsLoginItem(appURL, false, nullptr); }

void QNBLaunchServices::addAppAsLoginItem(const std::string& appURL, bool global,
                                          const security::AuthorizationRef& authorization) {
    if (appExistsInWakelist(appURL, global)) return;
    auto list = loginItemsList(global, authorization);
    if (!list) return;
    auto item = ls::LSSharedFileListInsertItemURL(list, ls::kLSSharedFileListItemLast, std::nullopt, nullptr, appURL,
                                                  nullptr, nullptr);
    if (!item) {
        platform::log("Could not insert Wakelist item URL.");
        return;
    }
    platform::log("Added LoginItem: %@", appURL);
    keepFirstEntryOnly(list, appURL);
}

void QNBLaunchServices::deleteAppFromLoginItem(const std::string& appURL) {
    deleteAppFromLoginItem(appURL, false, nullptr);
}

void QNBLaunchServices::deleteAppFromLoginItem(const std::string& appURL, bool global,
                                               const security::AuthorizationRef& authorization) {
    auto list = loginItemsList(global, authorization);
    if (!list) return;
    for (const auto& item : ls::LSSharedFileListCopySnapshot(list, nullptr)) {
        auto url = ls::LSSharedFileListItemResolve(item, 0);
        if (url && ProbableFileURLsAreEqual(url, appURL)) ls::LSSharedFileListItemRemove(list, item);
    }
}

bool QNBLaunchServices::appExistsInWakelist(const std::string& appURL) { return appExistsInWakelist(appURL, false); }

bool QNBLaunchServices::appExistsInWakelist(const std::string& appURL, bool global) {
    auto list = loginItemsList(global, nullptr);
    return list && listHoldsApp(list, appURL);
}

bool QNBLaunchServices::isValidMacOSXUTI(const std::string& bundleIdentifier) {
    auto app = applicationWithBundleIdentifier(bundleIdentifier);
    if (!app) return true;
    const cf::Value* platforms = app->info.find("CFBundleSupportedPlatforms");
    return !arrayHoldsText(platforms, "iPhoneOS") && !arrayHoldsText(platforms, "iPhoneSimulator");
}

UTTypeInfo QNBLaunchServices::infoForUTI(const std::string& bundleIdentifier) {
    UTTypeInfo info{bundleIdentifier, std::nullopt, nullptr};
    if (auto app = applicationWithBundleIdentifier(bundleIdentifier)) {
        info.referenceURL = fileURLWithPath(app->path, true);
        info.icon = iconOf(*app);
    }
    return info;
}

std::optional<std::vector<UTTypeInfo>>
QNBLaunchServices::applicationsForUTIs(const std::vector<std::string>& contentTypes, uint32_t roles) {
    std::set<std::string> handlers;
    for (const auto& type : contentTypes) {
        for (const auto& handler : roleHandlersForContentType(type, roles))
            if (isValidMacOSXUTI(handler)) handlers.insert(handler);
    }
    if (handlers.empty()) return std::nullopt;
    std::vector<UTTypeInfo> infos;
    for (const auto& handler : handlers) infos.push_back(infoForUTI(handler));
    return infos;
}

std::optional<std::vector<UTTypeInfo>> QNBLaunchServices::applicationsForUTI(const std::string& contentType,
                                                                             uint32_t roles) {
    std::vector<UTTypeInfo> infos;
    for (const auto& handler : roleHandlersForContentType(contentType, roles))
        if (isValidMacOSXUTI(handler)) infos.push_back(infoForUTI(handler));
    if (infos.empty()) return std::nullopt;
    return infos;
}

} // namespace foundation
