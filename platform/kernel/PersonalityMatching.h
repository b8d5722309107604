// Whether a personality matches a provider, and its category and probe score.
#pragma once

#include <cstdint>
#include <string>

namespace kernel {

class IOService;
class OSDictionary;

inline constexpr char kIODefaultMatchCategory[] = "IODefaultMatchCategory";

// IOProviderClass in the provider's class chain, IONameMatch against its "compatible"
// strings or name, IOResourceMatch naming a property of the resources node.
bool personalityMatches(const OSDictionary* personality, IOService* provider, IOService* resources);
std::string matchCategory(const OSDictionary* personality);
int32_t probeScore(const OSDictionary* personality);

} // namespace kernel
