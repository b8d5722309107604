#include "foundation/QNBSystemInformation.h"

#include "foundation/FileUtilities.h"
#include "foundation/QNBDisplayChipsetHelper.h"
#include "foundation/TaskOutput.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/NSString.h"
#include "platform/foundation/NSXMLDocument.h"
#include "platform/services/Sysctl.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

namespace foundation {

namespace {

constexpr char kSystemVersionPlist[] = "/System/Library/CoreServices/SystemVersion.plist";
constexpr char kSystemProfilerPath[] = "/usr/sbin/system_profiler";
constexpr char kChipsetModelPattern[] = "Chipset Model:";
// The fixed text buffers of the sysctl text facts.
constexpr size_t kSysctlTextBytes = 64;

std::vector<std::string_view> dotParts(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        size_t dot = text.find('.');
        parts.push_back(text.substr(0, dot));
        if (dot == std::string_view::npos) return parts;
        text = text.substr(dot + 1);
    }
}

uint32_t partValue(std::string_view version, size_t index) {
    auto parts = dotParts(version);
    return index < parts.size() ? static_cast<uint32_t>(ns::intValue(parts[index])) : 0;
}

std::string sysctlText(int top, int second) {
    std::array<char, kSysctlTextBytes> buffer{};
    size_t length = buffer.size();
    int mib[2] = {top, second};
    if (bsd::sysctl(mib, 2, buffer.data(), &length, nullptr, 0) != 0) return "";
    return std::string(buffer.data(), ::strnlen(buffer.data(), buffer.size()));
}

// A numeric fact, 0 when it cannot be read whole.
template <typename T> T sysctlNumber(int top, int second) {
    T value{};
    size_t length = sizeof value;
    int mib[2] = {top, second};
    if (bsd::sysctl(mib, 2, &value, &length, nullptr, 0) != 0 || length != sizeof value) return T{};
    return value;
}

// White space and newline characters, as UTF-8, beyond the ASCII ones.
constexpr std::string_view kUnicodeSpaces[] = {
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
    "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

bool isASCIISpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view text) {
    bool changed = true;
    while (changed && !text.empty()) {
        changed = false;
        if (isASCIISpace(text.front())) {
            text.remove_prefix(1);
            changed = true;
            continue;
        }
        for (auto space : kUnicodeSpaces) {
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                changed = true;
                break;
            }
        }
    }
    changed = true;
    while (changed && !text.empty()) {
        changed = false;
        if (isASCIISpace(text.back())) {
            text.remove_suffix(1);
            changed = true;
            continue;
        }
        for (auto space : kUnicodeSpaces) {
            if (text.ends_with(space)) {
                text.remove_suffix(space.size());
                changed = true;
                break;
            }
        }
    }
    return text;
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    for (;;) {
        size_t end = text.find_first_of("\r\n");
        out.push_back(text.substr(0, end));
        if (end == std::string_view::npos) return out;
        text = text.substr(end + 1);
    }
}

std::string localTimeZoneDescription() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!::localtime_r(&now, &local)) return "Local Time Zone (GMT offset 0)";
    return platform::format("Local Time Zone (%s offset %ld)", local.tm_zone ? local.tm_zone : "GMT",
                            static_cast<long>(local.tm_gmtoff));
}

struct VersionTriple {
    uint32_t major = 0, minor = 0, bugfix = 0;
};

} // namespace

// ---- Versions

std::optional<std::string> QNBSystemInformation::getSystemVersion() {
    static std::once_flag once;
    static std::optional<std::string> cached;
    std::call_once(once, [] { cached = rawSystemVersionString(); });
    return cached;
}

std::optional<std::string> QNBSystemInformation::rawSystemVersionString() {
    auto plist = cf::readPropertyListFile(platform::macPath(kSystemVersionPlist));
    const cf::Value* version = plist ? plist->find("ProductVersion") : nullptr;
    if (!version || !version->asString()) return std::nullopt;
    return *version->asString();
}

std::string QNBSystemInformation::systemVersionString() {
    auto version = getSystemVersion();
    return platform::format("System version: Mac OS %@", version ? *version : std::string("(null)"));
}

float QNBSystemInformation::systemVersionNumberOf(std::string_view version) {
    size_t lastDot = version.rfind('.');
    bool twoDots = lastDot != std::string_view::npos && version.substr(0, lastDot).find('.') != std::string_view::npos;
    return ns::floatValue(twoDots ? version.substr(0, lastDot) : version);
}

uint32_t QNBSystemInformation::majorSystemVersionNumberOf(std::string_view version) { return partValue(version, 0); }
uint32_t QNBSystemInformation::minorSystemVersionNumberOf(std::string_view version) { return partValue(version, 1); }
uint32_t QNBSystemInformation::bugfixSystemVersionNumberOf(std::string_view version) { return partValue(version, 2); }

float QNBSystemInformation::systemVersionNumber() { return systemVersionNumberOf(rawSystemVersionString().value_or("")); }
uint32_t QNBSystemInformation::majorSystemVersionNumber() {
    return majorSystemVersionNumberOf(rawSystemVersionString().value_or(""));
}
uint32_t QNBSystemInformation::minorSystemVersionNumber() {
    return minorSystemVersionNumberOf(rawSystemVersionString().value_or(""));
}
uint32_t QNBSystemInformation::bugfixSystemVersionNumber() {
    return bugfixSystemVersionNumberOf(rawSystemVersionString().value_or(""));
}

bool QNBSystemInformation::versionAtLeast(uint32_t major, uint32_t minor, uint32_t bugfix, uint32_t atLeastMajor,
                                          uint32_t atLeastMinor, uint32_t atLeastBugfix) {
    if (major != atLeastMajor) return major > atLeastMajor;
    if (minor != atLeastMinor) return minor > atLeastMinor;
    return bugfix >= atLeastBugfix;
}

bool QNBSystemInformation::systemAtLeastMajorVersion(uint32_t major, uint32_t minor, uint32_t bugfix) {
    static std::once_flag once;
    static VersionTriple running;
    std::call_once(once, [] {
        running = {majorSystemVersionNumber(), minorSystemVersionNumber(), bugfixSystemVersionNumber()};
    });
    return versionAtLeast(running.major, running.minor, running.bugfix, major, minor, bugfix);
}

// ---- sysctl facts

std::string QNBSystemInformation::kernelRelease() { return sysctlText(bsd::CTL_KERN, bsd::KERN_OSRELEASE); }
std::string QNBSystemInformation::kernelReleaseString() {
    return platform::format("Kernel release: %@", kernelRelease());
}

int64_t QNBSystemInformation::kernelRevision() { return sysctlNumber<int32_t>(bsd::CTL_KERN, bsd::KERN_OSREV); }
std::string QNBSystemInformation::kernelRevisionString() {
    return platform::format("Kernel revision: %lu", static_cast<unsigned long>(kernelRevision()));
}

uint32_t QNBSystemInformation::cpuFrequency() { return sysctlNumber<uint32_t>(bsd::CTL_HW, bsd::HW_CPU_FREQ); }
std::string QNBSystemInformation::rawCpuFrequencyString() {
    return platform::format("%.1f GHz", static_cast<double>(cpuFrequency()) / 1000000000.0);
}
std::string QNBSystemInformation::cpuFrequencyString() {
    return platform::format("CPU clock frequency: %@", rawCpuFrequencyString());
}

int64_t QNBSystemInformation::cpuCoreCount() { return sysctlNumber<int32_t>(bsd::CTL_HW, bsd::HW_NCPU); }
std::string QNBSystemInformation::cpuCoreCountString() {
    return platform::format("CPU core count: %lu", static_cast<unsigned long>(cpuCoreCount()));
}

uint64_t QNBSystemInformation::systemPhysicalMemory() { return sysctlNumber<uint64_t>(bsd::CTL_HW, bsd::HW_MEMSIZE); }
std::string QNBSystemInformation::rawSystemPhysicalMemoryString() {
    return platform::format("%lu gb", static_cast<unsigned long>(systemPhysicalMemory() >> 30));
}
std::string QNBSystemInformation::systemPhysicalMemoryString() {
    return platform::format("Physical memory: %@", rawSystemPhysicalMemoryString());
}

std::string QNBSystemInformation::rawSystemModelString() { return sysctlText(bsd::CTL_HW, bsd::HW_MODEL); }
std::string QNBSystemInformation::systemModelString() {
    return platform::format("System model: %@", rawSystemModelString());
}

// ---- Graphics chipsets

std::optional<std::string> QNBSystemInformation::stringFromNSTaskShellString(
    const std::optional<std::string>& launchPath, const std::optional<std::vector<std::string>>& arguments) {
    if (!launchPath || !arguments) return std::nullopt;
    platform::Error error;
    auto output = runToolCollectingOutput(*launchPath, *arguments, kMaxToolOutputBytes, &error);
    if (!output && error.code == EFBIG) {
        platform::log("%@: output over %lu bytes refused", *launchPath, static_cast<unsigned long>(kMaxToolOutputBytes));
        return std::nullopt;
    }
    if (!output) {
        platform::log("Error launching shell command: %@", *launchPath);
        return std::nullopt;
    }
    if (output->empty()) return std::nullopt;
    return ns::stringWithData(*output);
}

std::string QNBSystemInformation::displayHardwareString() {
    return stringFromNSTaskShellString(std::string(kSystemProfilerPath), std::vector<std::string>{"SPDisplaysDataType"})
        .value_or("");
}

std::optional<std::vector<std::string>> QNBSystemInformation::displayHardwareArrayFromString(std::string_view output) {
    if (output.empty()) return std::nullopt;
    std::vector<QNBDisplayChipsetHelper> found;
    auto all = lines(output);
    for (size_t index = 0; index < all.size(); ++index) {
        if (auto chipset = argumentForSubstring(all[index], kChipsetModelPattern))
            found.emplace_back(std::move(*chipset), index);
    }
    if (found.empty()) return std::nullopt;
    std::vector<std::string> names;
    for (const auto& helper : found) names.push_back(helper.displayChipset());
    return names;
}

std::optional<std::vector<std::string>> QNBSystemInformation::displayHardwareArray() {
    return displayHardwareArrayFromString(displayHardwareString());
}

std::optional<std::string> argumentForSubstring(std::string_view text, std::string_view pattern) {
    if (pattern.empty() || text.find(pattern) == std::string_view::npos) return std::nullopt;
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon + 1 >= text.size()) return std::nullopt;
    return std::string(trimmed(text.substr(colon + 1)));
}

// ---- Reports

std::string QNBSystemInformation::systemInformationString() {
    std::string report = "\n";
    for (const auto& line : {systemVersionString(), kernelReleaseString(), kernelRevisionString(), systemModelString(),
                             cpuFrequencyString(), cpuCoreCountString(), systemPhysicalMemoryString(),
                             displayHardwareString()})
        report += line + "\n";
    report += platform::format("GMT Polling date: %@\n", dateDescription(platform::wallNow()));
    report += localTimeZoneDescription() + "\n";
    report += "\n";
    return report;
}

namespace {

// The document with the given chipsets: the system's facts, then one element per chipset.
std::optional<std::vector<uint8_t>> systemInformationDocument(const std::vector<std::string>& chipsets) {
    auto root = ns::NSXMLElement::elementWithName("si");
    root->addChild(ns::NSXMLElement::elementWithName("os", QNBSystemInformation::rawSystemVersionString().value_or("")));
    root->addChild(ns::NSXMLElement::elementWithName("release", QNBSystemInformation::kernelRelease()));
    root->addChild(ns::NSXMLElement::elementWithName(
        "revision", platform::format("%lu", static_cast<unsigned long>(QNBSystemInformation::kernelRevision()))));
    root->addChild(ns::NSXMLElement::elementWithName("clock", QNBSystemInformation::rawCpuFrequencyString()));
    root->addChild(ns::NSXMLElement::elementWithName(
        "cpus", platform::format("%lu", static_cast<unsigned long>(QNBSystemInformation::cpuCoreCount()))));
    root->addChild(ns::NSXMLElement::elementWithName("memory", QNBSystemInformation::rawSystemPhysicalMemoryString()));
    for (const auto& chipset : chipsets) root->addChild(ns::NSXMLElement::elementWithName("chipset", chipset));
    auto document = ns::NSXMLDocument::documentWithRootElement(root);
    if (!document) return std::nullopt;
    document->setVersion("1.0");
    document->setCharacterEncoding("UTF-8");
    document->setStandalone(false);
    return document->XMLDataWithOptions(ns::NSXMLDocumentTidyXML);
}

} // namespace

std::optional<std::vector<uint8_t>> QNBSystemInformation::systemInformationXML() {
    return systemInformationDocument(displayHardwareArray().value_or(std::vector<std::string>{}));
}

std::optional<std::vector<uint8_t>> QNBSystemInformation::systemInformationXMLOfAtMost(size_t maxLength) {
    std::vector<std::string> chipsets = displayHardwareArray().value_or(std::vector<std::string>{});
    while (true) {
        auto document = systemInformationDocument(chipsets);
        if (!document) return std::nullopt;
        if (document->size() <= maxLength) return document;
        if (chipsets.empty()) return std::nullopt;
        chipsets.pop_back();
    }
}

std::optional<std::string> QNBSystemInformation::systemInformationXMLString() {
    auto data = systemInformationXML();
    if (!data) return std::nullopt;
    return ns::stringWithData(*data);
}

} // namespace foundation
