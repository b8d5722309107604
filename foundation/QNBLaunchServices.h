// Keeps an application in, or out of, the user's login items, and answers which applications
// handle given content types. Applications are named by the file URL text of their bundle.
#pragma once

#include "platform/appkit/NSImage.h"
#include "platform/corefoundation/Value.h"
#include "platform/services/Authorization.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace foundation {

// The image named when an application has no icon of its own.
inline constexpr char kGenericApplicationIconName[] = "GenericApplicationIcon_16";

// A content-type handler's info: its identifier always; its URL and icon image when Launch
// Services knows the application.
struct UTTypeInfo {
    std::string identifier;                  // kUTTypeIdentifierKey
    std::optional<std::string> referenceURL; // kUTTypeReferenceURLKey
    std::shared_ptr<appkit::NSImage> icon;   // kUTTypeIconFileKey
};

// Role masks of content-type handlers.
inline constexpr uint32_t kLSRolesNone = 0x00000001;
inline constexpr uint32_t kLSRolesViewer = 0x00000002;
inline constexpr uint32_t kLSRolesEditor = 0x00000004;
inline constexpr uint32_t kLSRolesShell = 0x00000008;
inline constexpr uint32_t kLSRolesAll = 0xFFFFFFFF;

class QNBLaunchServices {
public:
    static QNBLaunchServices& sharedServices();

    // Appends the application to the list unless it is there already; logs "Added LoginItem: %@"
    // or "Could not insert Wakelist item URL.". Without a list, nothing happens. The global
    // list takes the authorization before any change.
    static void addAppAsLoginItem(const std::string& appURL);
    static void addAppAsLoginItem(const std::string& appURL, bool global,
                                  const security::AuthorizationRef& authorization);
    // Removes every entry that names the same file as the application.
    static void deleteAppFromLoginItem(const std::string& appURL);
    static void deleteAppFromLoginItem(const std::string& appURL, bool global,
                                       const security::AuthorizationRef& authorization);
    static bool appExistsInWakelist(const std::string& appURL);
    static bool appExistsInWakelist(const std::string& appURL, bool global);

    // NO for an application built for the device platforms; YES for any other, and for an
    // identifier no installed application has.
    static bool isValidMacOSXUTI(const std::string& bundleIdentifier);
    // The identifier, and the application's URL and icon when it is installed: the bundle's
    // own icon, else the image named kGenericApplicationIconName.
    static UTTypeInfo infoForUTI(const std::string& bundleIdentifier);
    // One info per distinct valid handler of any of the types; nothing when none.
    static std::optional<std::vector<UTTypeInfo>>
    applicationsForUTIs(const std::vector<std::string>& contentTypes, uint32_t roles);
    // The infos of the type's valid handlers, in handler order; nothing when none.
    static std::optional<std::vector<UTTypeInfo>> applicationsForUTI(const std::string& contentType,
                                                                     uint32_t roles);
};

// Whether two URLs name the same file: equal URLs, or two file URLs whose standardized paths
// are equal. NO when either is missing.
bool ProbableFileURLsAreEqual(const std::optional<std::string>& a, const std::optional<std::string>& b);

} // namespace foundation
