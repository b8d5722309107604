#include "platform/kernel/PersonalityMatching.h"

#include "platform/kernel/IOService.h"
#include "platform/kernel/OSArray.h"
#include "platform/kernel/OSData.h"
#include "platform/kernel/OSDictionary.h"
#include "platform/kernel/OSNumber.h"
#include "platform/kernel/OSString.h"

#include <vector>

namespace kernel {

namespace {

// "compatible" may be one string, an array of strings, or NUL-separated strings in data.
std::vector<std::string> compatibleNames(IOService* provider) {
    std::vector<std::string> names{provider->getName()};
    OSPtr<OSObject> compatible = provider->copyProperty("compatible");
    if (auto* s = OSDynamicCast(OSString, compatible.get())) {
        names.push_back(s->string());
    } else if (auto* a = OSDynamicCast(OSArray, compatible.get())) {
        for (unsigned i = 0; i < a->getCount(); ++i) {
            if (auto* item = OSDynamicCast(OSString, a->getObject(i))) names.push_back(item->string());
        }
    } else if (auto* d = OSDynamicCast(OSData, compatible.get())) {
        const auto& bytes = d->bytes();
        std::string current;
        for (uint8_t byte : bytes) {
            if (byte == 0) {
                if (!current.empty()) names.push_back(current);
                current.clear();
            } else {
                current.push_back(static_cast<char>(byte));
            }
        }
        if (!current.empty()) names.push_back(current);
    }
    return names;
}

bool nameMatches(OSObject* nameMatch, IOService* provider) {
    std::vector<std::string> wanted;
    if (auto* s = OSDynamicCast(OSString, nameMatch)) {
        wanted.push_back(s->string());
    } else if (auto* a = OSDynamicCast(OSArray, nameMatch)) {
        for (unsigned i = 0; i < a->getCount(); ++i) {
            if (auto* item = OSDynamicCast(OSString, a->getObject(i))) wanted.push_back(item->string());
        }
    } else {
        return false;
    }
    for (const auto& name : compatibleNames(provider)) {
        for (const auto& w : wanted) {
            if (name == w) return true;
        }
    }
    return false;
}

} // namespace

bool personalityMatches(const OSDictionary* personality, IOService* provider, IOService* resources) {
    auto* providerClass = OSDynamicCast(OSString, personality->getObject("IOProviderClass"));
    if (!providerClass || !provider->metaCast(providerClass->getCStringNoCopy())) return false;
    if (OSObject* nameMatch = personality->getObject("IONameMatch")) {
        if (!nameMatches(nameMatch, provider)) return false;
    }
    if (OSObject* resourceMatch = personality->getObject("IOResourceMatch")) {
        auto* key = OSDynamicCast(OSString, resourceMatch);
        if (!key || !resources || !resources->copyProperty(key->string())) return false;
    }
    return true;
}

std::string matchCategory(const OSDictionary* personality) {
    auto* category = OSDynamicCast(OSString, personality->getObject("IOMatchCategory"));
    return category ? category->string() : std::string(kIODefaultMatchCategory);
}

int32_t probeScore(const OSDictionary* personality) {
    auto* score = OSDynamicCast(OSNumber, personality->getObject("IOProbeScore"));
    return score ? static_cast<int32_t>(score->unsigned32BitValue()) : 0;
}

} // namespace kernel
