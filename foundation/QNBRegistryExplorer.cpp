#include "foundation/QNBRegistryExplorer.h"

#include "platform/foundation/NSString.h"

namespace foundation {

using namespace iokit;

namespace {

// I/O Kit's name buffer: 127 bytes and a terminating zero.
constexpr size_t kMaxNameBytes = sizeof(io_name_t) - 1;
// A class chain is a handful of names; this bounds a broken superclass loop.
constexpr int kMaxClassDepth = 64;

// Cut to at most max bytes without splitting a UTF-8 sequence.
std::string boundedText(std::string text, size_t max) {
    if (text.size() <= max) return text;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

std::string nameOf(io_registry_entry_t entry, const char* plane) {
    io_name_t name = {};
    if (IORegistryEntryGetNameInPlane(entry, plane, name) != kIOReturnSuccess) return "";
    std::string result = name;
    io_name_t location = {};
    if (IORegistryEntryGetLocationInPlane(entry, plane, location) == kIOReturnSuccess)
        result = boundedText(result + "@" + location, kMaxNameBytes);
    return result;
}

std::string classNameOf(io_object_t object) {
    io_name_t className = {};
    return IOObjectGetClass(object, className) == kIOReturnSuccess ? std::string(className) : std::string();
}

} // namespace

QNBRegistryExplorer& QNBRegistryExplorer::sharedExplorer() {
    static QNBRegistryExplorer explorer;
    return explorer;
}

QNBRegistryExplorer::QNBRegistryExplorer() = default;

const char* QNBRegistryExplorer::currentPlaneCString() const {
    return m_currentPlane ? m_currentPlane->c_str() : nullptr;
}

void QNBRegistryExplorer::buildFullRegistryDictionary() {
    io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    m_registryDictionary = dictForIterated(root);
    IOObjectRelease(root);
}

cf::Value QNBRegistryExplorer::dictForIterated(io_registry_entry_t entry) const {
    const char* plane = currentPlaneCString();
    io_iterator_t iterator = 0;
    IORegistryEntryGetChildIterator(entry, plane, &iterator);
    std::string name = nameOf(entry, plane);
    std::string className = classNameOf(entry);
    cf::Array children;
    while (io_registry_entry_t child = IOIteratorNext(iterator)) {
        children.push_back(dictForIterated(child));
        IOObjectRelease(child); // its node holds all that is needed of it
    }
    IOObjectRelease(iterator);
    return cf::Dictionary{
        {"name", name},
        {"className", className},
        {"state", ""},
        {"inheritance", createInheritanceStringForIORegistryClassName(className)},
        {"regEntry", static_cast<int32_t>(entry)},
        {"children", cf::Value(std::move(children))},
    };
}

std::optional<cf::Value> QNBRegistryExplorer::findNamedIORegistryService(const std::string& name) const {
    std::string path = std::string(kIOServicePlane) + ":/IOResources/" + name;
    io_registry_entry_t entry = IORegistryEntryFromPath(kIOMasterPortDefault, path.c_str());
    if (!entry) return std::nullopt;
    cf::Value node = dictForIterated(entry);
    IOObjectRelease(entry);
    return node;
}

std::optional<std::string> QNBRegistryExplorer::computerModel() {
    io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    io_iterator_t iterator = 0;
    IORegistryEntryGetChildIterator(root, kIOServicePlane, &iterator);
    io_registry_entry_t platformExpert = IOIteratorNext(iterator);
    std::optional<std::string> model;
    io_name_t name = {};
    if (platformExpert &&
        IORegistryEntryGetNameInPlane(platformExpert, kIOServicePlane, name) == kIOReturnSuccess)
        model = std::string(name);
    IOObjectRelease(platformExpert);
    IOObjectRelease(iterator);
    IOObjectRelease(root);
    return model;
}

std::optional<std::string> QNBRegistryExplorer::machineSerialNumber() {
    io_registry_entry_t platformExpert = IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/");
    if (!platformExpert) return std::nullopt;
    auto serial = IORegistryEntryCreateCFProperty(platformExpert, "IOPlatformSerialNumber");
    IOObjectRelease(platformExpert);
    const std::string* text = serial ? serial->asString() : nullptr;
    if (!text) return std::nullopt;
    return *text;
}

cf::Value QNBRegistryExplorer::searchResultsForText(const std::string& text, bool searchKeys, bool) const {
    if (!searchKeys) return cf::Value::emptyArray();
    return searchKeysResultsInDictionary(m_registryDictionary, text, "");
}

cf::Value QNBRegistryExplorer::searchKeysResultsInDictionary(const cf::Value& node, const std::string& text,
                                                             const std::string& passedPath) {
    cf::Array results;
    const cf::Value* nameValue = node.find("name");
    const std::string* name = nameValue ? nameValue->asString() : nullptr;
    std::string here = name ? *name : "";
    if (!here.empty() &&
        ns::rangeOfString(ns::uppercaseString(here), ns::uppercaseString(text)).location != ns::NSNotFound) {
        results.push_back(passedPath + ":" + here);
    }
    const cf::Value* children = node.find("children");
    std::string path = passedPath + ":" + here;
    for (size_t i = 0; children && i < children->count(); ++i) {
        cf::Value found = searchKeysResultsInDictionary(*children->at(i), text, path);
        for (size_t j = 0; j < found.count(); ++j)
            results.push_back(*found.at(j));
    }
    return cf::Value(std::move(results));
}

std::string QNBRegistryExplorer::createInheritanceStringForIORegistryClassName(const std::string& className) {
    std::string chain = className;
    chain.reserve(512);
    std::optional<std::string> super = IOObjectCopySuperclassForClass(className);
    for (int depth = 0; super && depth < kMaxClassDepth; ++depth) {
        chain.insert(0, *super + " : ");
        super = IOObjectCopySuperclassForClass(*super);
    }
    return chain;
}

} // namespace foundation
