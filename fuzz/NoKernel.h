// A kernel that never answers, as the I/O Kit facade's transport: a fixture without a HID
// system installs it so that every HID call fails at once, as it does with no platformd,
// instead of trying platformd's socket on every pen or tap.
#pragma once

#include "platform/iokit/IOKitTransport.h"

#include <memory>

namespace fuzz {

class NoKernel final : public iokit::IOKitTransport {
  public:
    std::optional<cf::Value> request(std::string_view, const cf::Value&) override { return std::nullopt; }

    static void install() { iokit::IOKitSetTransport(std::make_shared<NoKernel>()); }
};

} // namespace fuzz
