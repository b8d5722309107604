// The root's two generated programs, rewritten from the profile at every boot: the
// system_profiler stand-in (graphics chips) and the sudo stub (logs, then runs the command as
// the named user of the same stand-in Mac).
#pragma once

#include "platform/corefoundation/Error.h"

#include <string>

namespace platform {
struct Profile;
}

namespace platformd {

std::string systemProfilerScript(const platform::Profile& profile);
std::string sudoScript(const std::string& root);
// Writes both scripts (mode 0755) under root.
bool writeRootScripts(const std::string& root, const platform::Profile& profile, platform::Error* error);
// Registers writeRootScripts with the root preparation, once per process.
void registerRootScripts();

// Text as one single-quoted shell word, so profile texts can never become shell syntax.
std::string shellQuote(const std::string& text);

} // namespace platformd
