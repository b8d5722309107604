#include "platform/coregraphics/CGWindow.h"

#include "platform/coregraphics/WindowServerClient.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <cmath>

namespace cg {

namespace {

std::optional<cf::Value> windowsOf(std::optional<cf::Value> result) {
    if (!result) return std::nullopt;
    const cf::Value* windows = result->find("windows");
    if (!windows || !windows->isArray()) return cf::Value::emptyArray();
    return *windows;
}

} // namespace

std::optional<cf::Value> CGWindowListCopyWindowInfo(CGWindowListOption option, CGWindowID relativeToWindow) {
    return windowsOf(detail::wsRequest(windowserver::op::windowList,
                                       cf::Dictionary{{"option", option}, {"window", relativeToWindow}}));
}

std::optional<cf::Value> CGWindowListCreateDescriptionFromArray(const std::vector<CGWindowID>& windows) {
    cf::Array ids;
    for (CGWindowID w : windows)
        ids.push_back(w);
    return windowsOf(
        detail::wsRequest(windowserver::op::windowDescriptions, cf::Dictionary{{"windows", cf::Value(ids)}}));
}

cf::Value CGRectCreateDictionaryRepresentation(CGRect rect) {
    return cf::Dictionary{
        {"X", rect.origin.x}, {"Y", rect.origin.y}, {"Width", rect.size.width}, {"Height", rect.size.height}};
}

bool CGRectMakeWithDictionaryRepresentation(const cf::Value* dictionary, CGRect* rect) {
    if (!dictionary || !rect) return false;
    double v[4];
    const char* keys[4] = {"X", "Y", "Width", "Height"};
    for (int i = 0; i < 4; ++i) {
        const cf::Value* n = dictionary->find(keys[i]);
        if (!n || !n->isNumber() || !std::isfinite(n->doubleValue())) return false;
        v[i] = n->doubleValue();
    }
    *rect = CGRectMake(v[0], v[1], v[2], v[3]);
    return true;
}

} // namespace cg
