// A display's scale-corrected size that costs one seed read a frame instead of the geometry's
// round trips to the window server. The window server moves its display-mapping seed after every
// reconfiguration it applies; the seed is read before the size, so a change between the two
// shows at the next call and is never hidden under the new seed. An unknown seed (0) always
// reads, and so does another key (the display asked about) or a call after forget().
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <functional>
#include <mutex>

namespace server {

class SeedCheckedSize {
  public:
    using SeedReader = std::function<uint32_t()>;
    using Reader = std::function<cg::CGSize()>;

    // By default the seed is the window server's display-mapping seed.
    explicit SeedCheckedSize(SeedReader seed = {});

    // The size read last for key while the seed stands; otherwise read now (outside the lock).
    cg::CGSize size(uint64_t key, const Reader& read);
    // What is cached is dropped; a read already under way when this is called is not kept.
    void forget();

  private:
    SeedReader m_seed;
    std::mutex m_lock;
    uint64_t m_generation = 0;
    bool m_valid = false;
    uint64_t m_key = 0;
    uint32_t m_cachedSeed = 0;
    cg::CGSize m_size{};
};

} // namespace server
