// The shape check of the system-information document the server sends after the
// handshake: an XML declaration, then root "si" with text-only "os", "release",
// "revision", "clock", "cpus", "memory" in that order and any number of "chipset".
#pragma once

#include <string>
#include <string_view>

namespace refclient {

// Answers whether doc has that shape; why says what is wrong when it has not.
bool isSystemInformationDocument(std::string_view doc, std::string& why);

} // namespace refclient
