// Keyed archives from files: anything the unarchiver accepts is a graph it can write back.
// The input is taken both as it stands and behind the binary-plist magic, so the object table
// and the archive's own structure are both reached.
#include "fuzz/FuzzSupport.h"
#include "platform/foundation/NSKeyedArchiver.h"

namespace {

struct Node {
    std::optional<std::string> name;
    std::vector<ns::ArchivedObject> items;
};

void registerNode() {
    static bool done = [] {
        ns::registerArchiveClass<Node>(
            "QNBDisplayModel",
            [](const Node& n, ns::NSKeyedArchiver& coder) {
                if (n.name) coder.encodeObject(cf::Value(*n.name), "displayName");
                coder.encodeObject(ns::ArchivedObject::arrayOf(n.items), "items");
            },
            [](ns::NSKeyedUnarchiver& coder) {
                auto n = std::make_shared<Node>();
                n->name = coder.decodeString("displayName");
                n->items = coder.decodeArray("items").value_or(std::vector<ns::ArchivedObject>{});
                coder.decodeBool("autoConnect");
                coder.decodeInteger("version");
                coder.decodeNumber("BatteryLevel");
                coder.decodeData("data");
                coder.decodeDate("date");
                return n;
            });
        return true;
    }();
    (void)done;
}

void check(std::string_view bytes) {
    auto root = ns::NSKeyedUnarchiver::unarchiveObjectWithData(bytes);
    if (!root) return;
    auto again = ns::NSKeyedArchiver::archivedDataWithRootObject(*root);
    (void)again;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    registerNode();
    check(std::string_view(reinterpret_cast<const char*>(data), size));
    std::string bytes = "bplist00";
    bytes.append(reinterpret_cast<const char*>(data), size);
    check(bytes);
    return 0;
}
