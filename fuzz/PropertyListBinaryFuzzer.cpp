// Binary property lists ("bplist00" and the object table after it): anything that reads
// writes back. The magic is put in front of every input so no execution is spent finding it.
#include "fuzz/PropertyListRoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    std::string bytes = "bplist00";
    bytes.append(reinterpret_cast<const char*>(data), size);
    auto value = cf::propertyListFromData(std::string_view(bytes));
    if (value) fuzz::checkWriteBack(*value);
    return 0;
}
