// Pages of memory platformd shares with its clients: mapped writable in the one process that
// owns them, sealed so that no other mapping, in any process, can ever write them, and mapped
// read-only by the clients, who check the seals before trusting a read not to fault.
#pragma once

#include "platform/ipc/UniqueFd.h"

#include <cstddef>
#include <optional>

namespace ipc {

struct OwnedSharedPage {
    UniqueFd fd;
    void* base = nullptr; // the only writable mapping; zero-filled
};

// A memfd of length bytes, mapped writable here and then sealed against shrinking, growth and
// any later writable mapping. Nothing when a step fails.
std::optional<OwnedSharedPage> createSharedPage(const char* name, size_t length);

// The page behind fd (which stays the caller's) mapped read-only, or null, logged with what,
// unless it is a memory file of exactly length bytes sealed against shrinking, growth and writes.
const void* mapSharedPage(int fd, size_t length, const char* what);

} // namespace ipc
