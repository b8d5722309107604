// Facts about the Mac: system version, kernel, model, processors, memory and graphics chipsets,
// as texts, as version numbers and as the small XML document a newly connected client device
// receives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

class QNBSystemInformation {
public:
    // "ProductVersion" of SystemVersion.plist, read once and kept for the life of the process.
    static std::optional<std::string> getSystemVersion();
    // The same, read afresh on every call; nothing when the file cannot be read.
    static std::optional<std::string> rawSystemVersionString();
    static std::string systemVersionString(); // "System version: Mac OS %@"

    static float systemVersionNumber();
    static uint32_t majorSystemVersionNumber();
    static uint32_t minorSystemVersionNumber();
    static uint32_t bugfixSystemVersionNumber();
    // Against the version numbers read on first use and kept.
    static bool systemAtLeastMajorVersion(uint32_t major, uint32_t minor, uint32_t bugfix);

    // The same readings of a given version text (10.13.6 gives 10, 13, 6 and 10.13).
    static float systemVersionNumberOf(std::string_view version);
    static uint32_t majorSystemVersionNumberOf(std::string_view version);
    static uint32_t minorSystemVersionNumberOf(std::string_view version);
    static uint32_t bugfixSystemVersionNumberOf(std::string_view version);
    static bool versionAtLeast(uint32_t major, uint32_t minor, uint32_t bugfix, uint32_t atLeastMajor,
                               uint32_t atLeastMinor, uint32_t atLeastBugfix);

    // The sysctl facts. A text that cannot be read is ""; a number that cannot be read is 0.
    static std::string kernelRelease();
    static std::string kernelReleaseString(); // "Kernel release: %@"
    static int64_t kernelRevision();
    static std::string kernelRevisionString(); // "Kernel revision: %lu"
    static uint32_t cpuFrequency();            // hertz
    static std::string rawCpuFrequencyString(); // "2.6 GHz"
    static std::string cpuFrequencyString();    // "CPU clock frequency: %@"
    static int64_t cpuCoreCount();
    static std::string cpuCoreCountString(); // "CPU core count: %lu"
    static uint64_t systemPhysicalMemory();  // bytes
    static std::string rawSystemPhysicalMemoryString(); // whole gibibytes, "8 gb"
    static std::string systemPhysicalMemoryString();    // "Physical memory: %@"
    static std::string rawSystemModelString();
    static std::string systemModelString(); // "System model: %@"

    // The tool's standard output and standard error together, decoded as UTF-8; nothing when
    // either argument is missing, the tool cannot be started (logged), its output is not UTF-8
    // or exceeds kMaxToolOutputBytes.
    static std::optional<std::string> stringFromNSTaskShellString(const std::optional<std::string>& launchPath,
                                                                  const std::optional<std::vector<std::string>>& arguments);
    // A display report is a few kilobytes; this bounds a runaway tool.
    static constexpr size_t kMaxToolOutputBytes = 4 * 1024 * 1024;

    // The output of system_profiler for "SPDisplaysDataType"; "" when there is none.
    static std::string displayHardwareString();
    // The "Chipset Model:" names of that output, in order; nothing when there are none.
    static std::optional<std::vector<std::string>> displayHardwareArray();
    static std::optional<std::vector<std::string>> displayHardwareArrayFromString(std::string_view output);

    static std::string systemInformationString();
    static std::optional<std::vector<uint8_t>> systemInformationXML();
    // The same document, rebuilt without its last chipset element, one at a time, until it
    // is at most maxLength bytes; nothing when even the document without chipsets is longer.
    static std::optional<std::vector<uint8_t>> systemInformationXMLOfAtMost(size_t maxLength);
    static std::optional<std::string> systemInformationXMLString();
};

// The text after the first ":" of text, trimmed of white space and newlines at both ends, when
// text contains pattern; nothing when it does not, or when nothing follows the ":".
std::optional<std::string> argumentForSubstring(std::string_view text, std::string_view pattern);

} // namespace foundation
