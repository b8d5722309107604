// Property lists in XML as files and peers hand them over: anything that reads writes back.
#include "fuzz/PropertyListRoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    // The binary magic would send the bytes to the other reader, which has its own target.
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (bytes.substr(0, 6) == "bplist") return 0;
    auto value = cf::propertyListFromData(bytes);
    if (value) fuzz::checkWriteBack(*value);
    return 0;
}
