// Runs a tool to its end and collects what it writes: the part of a task with one pipe for both
// standard output and standard error that the system-information report needs.
#pragma once

#include "platform/corefoundation/Error.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace foundation {

// The tool (its path mapped into the stand-in Mac's root) with stdin from /dev/null; answers
// everything it wrote once it has closed its output and been reaped. Nothing, with error set,
// when it cannot be started (NSPOSIXErrorDomain) or writes more than maxBytes (the tool is
// then killed).
std::optional<std::vector<uint8_t>> runToolCollectingOutput(const std::string& launchPath,
                                                            const std::vector<std::string>& arguments,
                                                            size_t maxBytes, platform::Error* error);

} // namespace foundation
