#include "server/display/SeedCheckedSize.h"

#include "platform/coregraphics/CGSPrivate.h"

namespace server {

SeedCheckedSize::SeedCheckedSize(SeedReader seed)
    : m_seed(seed ? std::move(seed) : SeedReader([] { return cg::CGSDisplayMappingChangedSeed(); })) {}

cg::CGSize SeedCheckedSize::size(uint64_t key, const Reader& read) {
    const uint32_t seed = m_seed();
    uint64_t generation;
    {
        std::lock_guard lock(m_lock);
        if (m_valid && seed != 0 && m_cachedSeed == seed && m_key == key) return m_size;
        generation = m_generation;
    }
    const cg::CGSize size = read();
    std::lock_guard lock(m_lock);
    if (seed != 0 && generation == m_generation) {
        m_valid = true;
        m_key = key;
        m_cachedSeed = seed;
        m_size = size;
    }
    return size;
}

void SeedCheckedSize::forget() {
    std::lock_guard lock(m_lock);
    ++m_generation;
    m_valid = false;
}

} // namespace server
