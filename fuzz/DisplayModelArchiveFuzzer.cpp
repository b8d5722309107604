// The host's display-model archive as model-archive reads it: any file gives a refusal or a
// list of models, each of which lists and archives again; a model written back reads back
// with the same list line.
#include "fuzz/FuzzSupport.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "tools/modelarchive/ModelArchive.h"

namespace {

void check(std::string_view bytes) {
    auto archive = modelarchive::readArchiveData(bytes);
    if (!archive) return;
    for (const auto& model : archive->models) {
        std::string line = modelarchive::listLine(*model);
        auto data = ns::NSKeyedArchiver::archivedDataWithRootObject(
            ns::ArchivedObject::arrayOfInstances<foundation::QNBDisplayModel>({model}));
        FUZZ_CHECK(data, line);
        auto again = modelarchive::readArchiveData(
            std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
        FUZZ_CHECK(again && again->models.size() == 1, line);
        FUZZ_CHECK(modelarchive::listLine(*again->models.front()) == line, line);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    check(std::string_view(reinterpret_cast<const char*>(data), size));
    std::string bytes = "bplist00";
    bytes.append(reinterpret_cast<const char*>(data), size);
    check(bytes);
    return 0;
}
