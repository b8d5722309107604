// Text helpers of a file-serving front end: file types, query texts, percent escapes, invisible
// files, document extensions, sandboxed paths, temporary and private folders, error texts,
// hexadecimal values and dumps, an HTML page of text, and the file browser's sort order.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"
#include "platform/foundation/Id.h"
#include "platform/foundation/NSLocale.h"
#include "platform/foundation/NSString.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/socket.h>

namespace foundation {

// The main bundle's "FiletypeInfo.plist", read once per process: extension → {"description",
// "icon", "mimeType"}. A missing or malformed file gives an empty table (logged).
const cf::Dictionary& fileTypeInfoDictionary();
// The same read from one file, for the cached table and its tests.
cf::Dictionary fileTypeInfoDictionaryFromFile(const std::optional<std::string>& path);

// Nothing for an empty extension or one without a description; the description localised
// through the main bundle's "FiletypeInfo" table when not empty.
std::optional<std::string> descriptionForFileExtension(std::string_view extension);
std::string iconNameForFileExtension(std::string_view extension); // else "GenericDocumentIcon"
// Nothing for an empty extension; else the entry's type or "application/octet-stream".
std::optional<std::string> mimeTypeForFileExtension(std::string_view extension);

// Query texts: per key in order, a nil value gives the escaped key alone, a text value
// "key=value" escaped, an array one such item per nil or text element; other values are
// skipped. Items are joined by "&"; no dictionary gives "".
using QueryDictionary = std::map<std::string, ns::Id, std::less<>>;
std::string queryStringWithDictionary(const QueryDictionary* dictionary,
                                      ns::NSStringEncoding encoding = ns::NSUTF8StringEncoding);

// Percent escapes with "?=&+" escaped too; nothing when the text does not fit the encoding.
std::optional<std::string> urlEncodedValue(std::string_view text,
                                           ns::NSStringEncoding encoding = ns::NSUTF8StringEncoding);
// Percent escapes in UTF-8 with "!*'();:@&=+$,?%#[]" escaped too.
std::optional<std::string> stringWithPercents(std::string_view text);

// "No items", "1 item", else the "item count format" ("%ld items"), all localised.
std::string stringFromCount(int64_t count);

bool isInvisibleFile(std::string_view name);
// Names hidden in the root folder of a Darwin system, and "Inbox" there; else isInvisibleFile.
bool isInvisibleFileAtPath(std::string_view name, std::string_view folder, std::string_view systemType);

std::string pathExtension(std::string_view path); // of the last component, "" when none
// The lower-cased extension; for "zip" with three or more dot-separated parts, the lower-cased
// part before it ("report.pdf.zip" gives "pdf").
std::string documentExtension(std::string_view path);
bool hasPathExtension(std::string_view path, std::string_view extension);
bool hasDocumentExtension(std::string_view path, std::string_view extension);

// Whether a relative path stays within its starting folder: its ".." parts never climb above
// it, at any point along the path.
bool pathIsWithinSandbox(std::string_view path);

bool isEqualToCaselessString(std::string_view a, std::string_view b);

std::string stringWithNewUUID();
// "address:port" of an IPv6 or IPv4 socket address; nothing for another family or a short one.
std::optional<std::string> stringWithAddress(const sockaddr* address, socklen_t length);

std::string appPrivateDataPath(); // ~/Library/Preferences
std::string stringForAppPrivateDataPathByAppendingPathComponent(std::string_view component);
// Creates a new empty file in the temporary folder named prefix + six characters and answers its
// path; nothing for a prefix holding "/" or NUL, or when no file could be made (logged).
std::optional<std::string> uniqueTempFilePath(std::string_view prefix);
std::string realTemporaryDirectory();
// The temporary folder plus the main bundle's identifier, created with its parents; nothing
// without an identifier or when it cannot be made (logged).
std::optional<std::string> AppSpecificTemporaryDirectory();
std::string documentsRootPath(); // ~/Documents

// "Connection Timed Out", "No Internet Connection", "Connection Error" for the URL domain,
// "Error" for others; localised.
std::string descriptionForError(const platform::Error& error);

// Leading hexadecimal digits as a number; UINT64_MAX past 64 bits; 0 for none.
uint64_t hexValue(std::string_view text);
// An XHTML 1.0 Strict page showing the text (with &, < and > escaped) in a pre element.
std::string htmlString(std::string_view text);
// Lower-case hex: below 9 bytes plain; else 16 digits and a blank per whole group of 8 bytes,
// then the rest plain.
std::string stringWithBuffer(std::span<const uint8_t> bytes);

// Case-insensitive, numeric, width-insensitive, forced ordering, by the locale.
ns::NSComparisonResult finderSortWithLocale(std::string_view a, std::string_view b,
                                            const ns::NSLocale* locale);

} // namespace foundation
