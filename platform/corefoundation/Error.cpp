#include "platform/corefoundation/Error.h"

#include "platform/core/Format.h"

#include <cstring>

namespace platform {

namespace {

std::string posixText(int64_t code) {
    if (code < 0 || code > 4095) return {};
    char buffer[256];
    // GNU strerror_r answers a pointer that may or may not be the buffer.
    return strerror_r(static_cast<int>(code), buffer, sizeof buffer);
}

std::string cocoaText(int64_t code) {
    switch (code) {
    case NSFileReadUnknownError: return "The file couldn't be opened.";
    case NSFileWriteUnknownError: return "The file couldn't be saved.";
    case NSPropertyListReadCorruptError:
    case NSCoderReadCorruptError: return "The data couldn't be read because it isn't in the correct format.";
    case NSPropertyListWriteInvalidError: return "The data couldn't be written because it isn't in the correct format.";
    default: return {};
    }
}

} // namespace

Error::Error(std::string domain_, int64_t code_, cf::Dictionary userInfo_)
    : domain(std::move(domain_)), code(code_), userInfo(std::move(userInfo_)) {}

Error Error::withDescription(std::string domain, int64_t code, std::string description) {
    cf::Dictionary info;
    info.insert_or_assign(NSLocalizedDescriptionKey, cf::Value(std::move(description)));
    return Error(std::move(domain), code, std::move(info));
}

Error Error::posix(int errnoValue) { return Error(NSPOSIXErrorDomain, errnoValue); }

std::string Error::localizedDescription() const {
    if (auto it = userInfo.find(NSLocalizedDescriptionKey); it != userInfo.end()) {
        if (const auto* text = it->second.asString()) return *text;
    }
    std::string known;
    if (domain == NSPOSIXErrorDomain) known = posixText(code);
    else if (domain == NSCocoaErrorDomain) known = cocoaText(code);
    if (!known.empty()) return known;
    return format("The operation couldn't be completed. (%s error %lld.)", domain, static_cast<long long>(code));
}

std::string Error::description() const {
    return format("Error Domain=%s Code=%lld \"%s\"", domain, static_cast<long long>(code), localizedDescription());
}

void setError(Error* out, const Error& error) {
    if (out) *out = error;
}

void setError(Error* out, std::string domain, int64_t code) {
    if (out) *out = Error(std::move(domain), code);
}

void setError(Error* out, std::string domain, int64_t code, std::string description) {
    if (out) *out = Error::withDescription(std::move(domain), code, std::move(description));
}

} // namespace platform
