#include "net/RTPRuntime.h"

#include "platform/core/Log.h"

#include <ortp/ortp.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace net {
namespace {

void logThroughFacade(const char*, OrtpLogLevel, const char* fmt, va_list args) {
    char text[1024];
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(text, sizeof text, fmt, copy);
    va_end(copy);
    platform::logMessage(std::string("oRTP: ") + text);
}

} // namespace

void ensureRTPRuntime() {
    static std::once_flag once;
    std::call_once(once, [] {
        ortp_init();
        ortp_set_log_handler(logThroughFacade);
        ortp_set_log_level_mask(ORTP_LOG_DOMAIN, ORTP_WARNING | ORTP_ERROR | ORTP_FATAL);
    });
}

} // namespace net
