// TXT records as a peer's registration carries them: anything that reads and writes back gives
// a record that reads as the same dictionary.
#include "fuzz/FuzzSupport.h"
#include "platform/foundation/TXTRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    cf::Bytes record(data, data + size);
    auto dict = ns::dictionaryFromTXTRecordData(record);
    if (!dict) return 0;
    // A 255-byte entry without "=" reads as a key that cannot be written back with its "=".
    auto written = ns::dataFromTXTRecordDictionary(*dict);
    if (!written) return 0;
    auto again = ns::dictionaryFromTXTRecordData(*written);
    FUZZ_CHECK(again && *again == *dict, "a written record reads back differently");
    return 0;
}
