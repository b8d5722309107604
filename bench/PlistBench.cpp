// Reading the host's remembered-device archive: 1,000 and 10,000 display models, archived as
// the host archives them, read back through the keyed unarchiver (the property-list reader
// under it, then the models). Reading in linear time makes the ratio about 10.
#include "foundation/QNBDisplayModel.h"

#include "platform/foundation/NSKeyedArchiver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using foundation::QNBDisplayModel;

cf::Bytes modelArchive(size_t count) {
    std::vector<std::shared_ptr<QNBDisplayModel>> models;
    models.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        auto m = QNBDisplayModel::create();
        const std::string n = std::to_string(i);
        m->setDisplayName("Tablet " + n);
        m->setDeviceIdentifier("device-" + n);
        m->setServiceKey("local.~_qnexvscreen._udp~Tablet " + n);
        m->setAddressIdentifier("qnbAddressStringKey~10.0." + std::to_string(i / 250) + "." +
                                std::to_string(i % 250));
        m->identifyByFirstIdentifier();
        m->setAutoConnectMode(i % 2 == 0);
        models.push_back(std::move(m));
    }
    auto data = ns::NSKeyedArchiver::archivedDataWithRootObject(ns::ArchivedObject::arrayOfInstances(models));
    if (!data) {
        std::fprintf(stderr, "plist_bench: could not archive %zu models\n", count);
        std::exit(1);
    }
    return *data;
}

// The best of a few reads, in seconds.
double readSeconds(const cf::Bytes& archive, size_t count, int rounds) {
    double best = 1e9;
    for (int r = 0; r < rounds; ++r) {
        auto start = std::chrono::steady_clock::now();
        auto root = ns::NSKeyedUnarchiver::unarchiveObjectWithData(archive);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!root || !root->isArray() || root->items().size() != count) {
            std::fprintf(stderr, "plist_bench: the %zu-model archive did not read back\n", count);
            std::exit(1);
        }
        best = std::min(best, seconds);
    }
    return best;
}

} // namespace

int main() {
    QNBDisplayModel::registerArchiveClass();
    const auto small = modelArchive(1'000);
    const auto large = modelArchive(10'000);
    const double smallSeconds = readSeconds(small, 1'000, 5);
    const double largeSeconds = readSeconds(large, 10'000, 3);
    std::printf("1000 models (%zu bytes): %.4f s\n", small.size(), smallSeconds);
    std::printf("10000 models (%zu bytes): %.4f s\n", large.size(), largeSeconds);
    std::printf("plist_bench: ratio=%.1f goal about 10 (linear)\n", largeSeconds / smallSeconds);
    return 0;
}
