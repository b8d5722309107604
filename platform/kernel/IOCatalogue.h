// The personalities of the loaded kexts, in load order: what matching offers providers.
#pragma once

#include "platform/kernel/OSDictionary.h"
#include "platform/kernel/OSPtr.h"

#include <mutex>
#include <string>
#include <vector>

namespace kernel {

struct Personality {
    std::string kextIdentifier;
    OSPtr<OSDictionary> table;
};

class IOCatalogue {
  public:
    void addPersonalities(const std::string& kextIdentifier, const std::vector<OSPtr<OSDictionary>>& tables);
    void removePersonalities(const std::string& kextIdentifier);
    std::vector<Personality> snapshot() const;

  private:
    mutable std::mutex m_mutex;
    std::vector<Personality> m_personalities;
};

} // namespace kernel
