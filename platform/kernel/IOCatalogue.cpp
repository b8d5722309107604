#include "platform/kernel/IOCatalogue.h"

namespace kernel {

void IOCatalogue::addPersonalities(const std::string& kextIdentifier,
                                   const std::vector<OSPtr<OSDictionary>>& tables) {
    std::lock_guard lock(m_mutex);
    for (const auto& table : tables)
        m_personalities.push_back({kextIdentifier, table});
}

void IOCatalogue::removePersonalities(const std::string& kextIdentifier) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_personalities, [&](const Personality& p) { return p.kextIdentifier == kextIdentifier; });
}

std::vector<Personality> IOCatalogue::snapshot() const {
    std::lock_guard lock(m_mutex);
    return m_personalities;
}

} // namespace kernel
