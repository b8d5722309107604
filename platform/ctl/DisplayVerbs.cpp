// platformctl's display verbs: what the window server shows.
#include "platform/core/Format.h"
#include "platform/ctl/Platformctl.h"
#include "platform/windowserver/DisplayInfo.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <ostream>

namespace ctl {

namespace {

// One display as a line; texts quoted, as names and locations hold spaces.
std::string displayLine(const windowserver::DisplayInfo& d) {
    const cg::CGRect& b = d.bounds;
    return platform::format(
        "id=0x%x bounds=%g,%g,%g,%g serial=0x%08x vendor=0x%04x model=0x%04x mode=%d vblanks=%llu "
        "name=\"%@\" location=\"%@\"",
        d.displayID, b.origin.x, b.origin.y, b.size.width, b.size.height, d.serialNumber, d.vendorNumber,
        d.modelNumber, d.ioModeID, static_cast<unsigned long long>(d.vblankCount), d.name, d.location);
}

} // namespace

int Platformctl::displays(const std::vector<std::string>& args) {
    if (!parse(args, {}, 0, 0)) return kUsage;
    int code;
    auto result = request(windowserver::op::displays, cf::Value::emptyDictionary(), code);
    if (!result) return code;
    const cf::Value* list = result->find("displays");
    for (size_t i = 0; list && i < list->count(); ++i) {
        auto display = windowserver::DisplayInfo::fromValue(*list->at(i));
        if (!display) return fail("platformd answered a malformed display record");
        m_out << displayLine(*display) << "\n";
    }
    return kSuccess;
}

} // namespace ctl
