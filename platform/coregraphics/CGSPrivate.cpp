#include "platform/coregraphics/CGSPrivate.h"

#include "platform/coregraphics/WindowServerClient.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include "platform/core/Log.h"

#include <cmath>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>

namespace cg {

using detail::integerAt;
using detail::isFinite;
using detail::realAt;
using detail::wsRequest;
using detail::wsStatus;

namespace {

// Titles longer than this are refused.
constexpr size_t kMaxTitleBytes = 1024;
constexpr int64_t kMaxStoreSide = 16384;

// The backing store an answer carries; null (logged when malformed) when it has none.
CGSWindowStoreRef adoptStore(const cf::Value& answer, std::vector<ipc::UniqueFd>& fds) {
    auto w = integerAt(answer, "storeWidth"), h = integerAt(answer, "storeHeight");
    auto bpr = integerAt(answer, "storeBytesPerRow");
    auto scale = realAt(answer, "storeScale");
    if (fds.empty() && (!w || !h || *w == 0 || *h == 0)) return nullptr; // none

    struct stat st {};
    if (!w || !h || !bpr || !scale || fds.size() != 1 || *w < 1 || *h < 1 || *w > kMaxStoreSide ||
        *h > kMaxStoreSide || *bpr < *w * 4 || *bpr > *w * 4 + 4096 || !(*scale > 0 && *scale <= 8) ||
        ::fstat(fds[0].get(), &st) != 0 || st.st_size < *bpr * *h) {
        platform::log("coregraphics: refusing a malformed window backing store answer");
        return nullptr;
    }
    auto store = std::make_shared<CGSWindowStore>();
    store->length = size_t(*bpr) * size_t(*h);
    void* map = ::mmap(nullptr, store->length, PROT_READ | PROT_WRITE, MAP_SHARED, fds[0].get(), 0);
    if (map == MAP_FAILED) {
        platform::log("coregraphics: a window backing store cannot be mapped");
        return nullptr;
    }
    store->bytes = static_cast<uint8_t*>(map);
    store->width = size_t(*w), store->height = size_t(*h), store->bytesPerRow = size_t(*bpr);
    store->scale = *scale;
    return store;
}

} // namespace

CGSWindowStore::~CGSWindowStore() {
    if (bytes) ::munmap(bytes, length);
}

CGSConnectionID CGSMainConnectionID() {
    auto result = wsRequest(windowserver::op::connect);
    return result ? CGSConnectionID(integerAt(*result, "cid").value_or(0)) : 0;
}

CGError CGSGetGlobalCursorDataSize(CGSConnectionID cid, int32_t* size) {
    if (!size) return kCGErrorIllegalArgument;
    auto result = wsRequest(windowserver::op::cursorData, cf::Dictionary{{"cid", cid}});
    if (!result) return kCGErrorInvalidConnection;
    if (auto status = integerAt(*result, "status").value_or(kCGErrorFailure)) return CGError(status);
    *size = int32_t(integerAt(*result, "rowBytes").value_or(0) * integerAt(*result, "height").value_or(0));
    return kCGErrorSuccess;
}

CGError CGSGetGlobalCursorData(CGSConnectionID cid, void* data, int32_t* size, int32_t* rowBytes,
                               CGRect* rect, CGPoint* hotSpot, int32_t* depth, int32_t* components,
                               int32_t* bitsPerComponent) {
    if (!data || !size || *size < 0) return kCGErrorIllegalArgument;
    auto result = wsRequest(windowserver::op::cursorData, cf::Dictionary{{"cid", cid}});
    if (!result) return kCGErrorInvalidConnection;
    if (auto status = integerAt(*result, "status").value_or(kCGErrorFailure)) return CGError(status);
    const cf::Value* pixels = result->find("pixels");
    if (!pixels || !pixels->asData()) return kCGErrorFailure;
    const cf::Bytes& bytes = *pixels->asData();
    if (bytes.size() > size_t(*size)) {
        *size = int32_t(bytes.size());
        return kCGErrorRangeCheck;
    }
    std::memcpy(data, bytes.data(), bytes.size());
    *size = int32_t(bytes.size());
    double hotX = realAt(*result, "hotX").value_or(0), hotY = realAt(*result, "hotY").value_or(0);
    if (rowBytes) *rowBytes = int32_t(integerAt(*result, "rowBytes").value_or(0));
    if (rect)
        *rect = CGRectMake(realAt(*result, "x").value_or(0) - hotX, realAt(*result, "y").value_or(0) - hotY,
                           double(integerAt(*result, "width").value_or(0)),
                           double(integerAt(*result, "height").value_or(0)));
    if (hotSpot) *hotSpot = CGPointMake(hotX, hotY);
    if (depth) *depth = 32;
    if (components) *components = 4;
    if (bitsPerComponent) *bitsPerComponent = 8;
    return kCGErrorSuccess;
}

uint32_t CGSCurrentCursorSeed() {
    auto result = wsRequest(windowserver::op::cursorState);
    return result ? uint32_t(integerAt(*result, "seed").value_or(0)) : 0;
}

CGPoint CGSCurrentInputPointerPosition() {
    auto result = wsRequest(windowserver::op::cursorState);
    if (!result) return CGPointZero;
    return CGPointMake(realAt(*result, "x").value_or(0), realAt(*result, "y").value_or(0));
}

CGError CGSSetSystemCursorImage(CGSConnectionID cid, const CGSCursorImage& image) {
    if (!image.isValid()) return kCGErrorIllegalArgument;
    return wsStatus(windowserver::op::cursorImage, cf::Dictionary{{"cid", cid},
                                                                  {"width", image.width},
                                                                  {"height", image.height},
                                                                  {"hotX", image.hotSpot.x},
                                                                  {"hotY", image.hotSpot.y},
                                                                  {"pixels", cf::Value(image.pixels)}});
}

CGError CGSSetSystemCursor(CGSConnectionID cid, CGSSystemCursor cursor) {
    return wsStatus(windowserver::op::cursorImage, cf::Dictionary{{"cid", cid}, {"system", int32_t(cursor)}});
}

CGWindowID CGSNewWindow(const CGSWindowRecord& record, CGSWindowStoreRef* store) {
    if (!isFinite(record.frame) || record.title.size() > kMaxTitleBytes || !std::isfinite(record.alpha))
        return kCGNullWindowID;
    cf::Dictionary args{{"title", record.title},
                        {"level", record.level},
                        {"x", record.frame.origin.x},
                        {"y", record.frame.origin.y},
                        {"width", record.frame.size.width},
                        {"height", record.frame.size.height},
                        {"alpha", record.alpha},
                        {"onScreen", record.onScreen},
                        {"ignoresMouse", record.ignoresMouse}};
    if (record.nonActivating) args.insert_or_assign("nonActivating", true);
    if (record.ownerPID) args.insert_or_assign("owner", record.ownerPID);
    std::vector<ipc::UniqueFd> fds;
    auto result = detail::wsRequestWithDescriptors(windowserver::op::newWindow, args, &fds);
    if (!result || integerAt(*result, "status").value_or(kCGErrorFailure)) return kCGNullWindowID;
    if (store) *store = adoptStore(*result, fds);
    return CGWindowID(integerAt(*result, "window").value_or(0));
}

CGError CGSSetWindowFrame(CGWindowID window, CGRect frame, CGSWindowStoreRef* store, bool* storeReplaced) {
    if (storeReplaced) *storeReplaced = false;
    if (!isFinite(frame)) return kCGErrorIllegalArgument;
    std::vector<ipc::UniqueFd> fds;
    auto result = detail::wsRequestWithDescriptors(windowserver::op::setWindow,
                                                   cf::Dictionary{{"window", window},
                                                                  {"x", frame.origin.x},
                                                                  {"y", frame.origin.y},
                                                                  {"width", frame.size.width},
                                                                  {"height", frame.size.height}},
                                                   &fds);
    if (!result) return kCGErrorInvalidConnection;
    auto status = CGError(integerAt(*result, "status").value_or(kCGErrorFailure));
    if (status != kCGErrorSuccess) return status;
    // A changed pixel size: a new store, or none at all (zero or over-large).
    if (result->find("storeWidth") || !fds.empty()) {
        if (store) *store = adoptStore(*result, fds);
        if (storeReplaced) *storeReplaced = true;
    }
    return status;
}

CGError CGSSetWindowLevel(CGWindowID window, int32_t level) {
    return wsStatus(windowserver::op::setWindow, cf::Dictionary{{"window", window}, {"level", level}});
}

CGError CGSSetWindowAlpha(CGWindowID window, double alpha) {
    if (!(alpha >= 0 && alpha <= 1)) return kCGErrorIllegalArgument;
    return wsStatus(windowserver::op::setWindow, cf::Dictionary{{"window", window}, {"alpha", alpha}});
}

CGError CGSSetWindowIgnoresMouse(CGWindowID window, bool ignoresMouse) {
    return wsStatus(windowserver::op::setWindow,
                    cf::Dictionary{{"window", window}, {"ignoresMouse", ignoresMouse}});
}

void CGSSetWindowEventHandler(std::function<void(const cf::Value& body)> handler) {
    detail::setPushConsumer("mouse", handler);
    detail::setPushConsumer("pointer-left", handler);
}

CGError CGSFlushWindow(CGWindowID window, const std::vector<CGRect>& rects) {
    cf::Array list;
    for (const CGRect& r : rects) {
        if (!isFinite(r)) return kCGErrorIllegalArgument;
        list.push_back(cf::Array{r.origin.x, r.origin.y, r.size.width, r.size.height});
    }
    return wsStatus(windowserver::op::flushWindow,
                    cf::Dictionary{{"window", window}, {"rects", cf::Value(std::move(list))}});
}

CGError CGSSetWindowTitle(CGWindowID window, const std::string& title) {
    if (title.size() > kMaxTitleBytes) return kCGErrorIllegalArgument;
    return wsStatus(windowserver::op::setWindow, cf::Dictionary{{"window", window}, {"title", title}});
}

CGError CGSOrderWindow(CGWindowID window, bool onScreen) {
    return wsStatus(windowserver::op::setWindow, cf::Dictionary{{"window", window}, {"onScreen", onScreen}});
}

CGError CGSReleaseWindow(CGWindowID window) {
    return wsStatus(windowserver::op::releaseWindow, cf::Dictionary{{"window", window}});
}

CGError CGSActivateApplication(bool* changed) {
    auto result = wsRequest(windowserver::op::activate);
    if (changed) *changed = false;
    if (!result) return kCGErrorInvalidConnection;
    const cf::Value* answer = result->find("changed");
    if (changed) *changed = answer && answer->isBoolean() && answer->boolValue();
    return CGError(integerAt(*result, "status").value_or(kCGErrorFailure));
}

int32_t CGSActiveApplicationPID() {
    auto result = wsRequest(windowserver::op::activeApplication);
    auto pid = result ? integerAt(*result, "pid") : std::nullopt;
    return pid && *pid > 0 && *pid <= INT32_MAX ? int32_t(*pid) : 0;
}

CGError CGSSetKeyWindow(CGWindowID window) {
    return wsStatus(windowserver::op::setKeyWindow, cf::Dictionary{{"window", window}});
}

CGError CGSSetEventMonitorMask(uint64_t mask) {
    return wsStatus(windowserver::op::setEventMonitor, cf::Dictionary{{"mask", int64_t(mask & INT64_MAX)}});
}

void CGSSetApplicationEventHandler(std::function<void(const cf::Value& body)> handler) {
    for (auto kind : {windowserver::push::becomeActive, windowserver::push::resignActive,
                      windowserver::push::key, windowserver::push::monitor})
        detail::setPushConsumer(kind, handler);
}

CGError CGSAlertBegan(CGWindowID window, const CGSAlertRecord& alert) {
    cf::Array buttons;
    for (const auto& title : alert.buttons)
        buttons.push_back(title);
    return wsStatus(windowserver::op::alertBegin, cf::Dictionary{{"window", window},
                                                                 {"kind", alert.kind},
                                                                 {"message", alert.message},
                                                                 {"informative", alert.informative},
                                                                 {"buttons", cf::Value(std::move(buttons))},
                                                                 {"style", alert.style}});
}

CGError CGSAlertEnded(CGWindowID window, int32_t button, int64_t code, bool suppressed) {
    return wsStatus(
        windowserver::op::alertEnd,
        cf::Dictionary{{"window", window}, {"button", button}, {"code", code}, {"suppressed", suppressed}});
}

cf::Value CGSCopyOpenAlerts() {
    auto result = wsRequest(windowserver::op::alerts);
    const cf::Value* alerts = result ? result->find("alerts") : nullptr;
    return alerts && alerts->isArray() ? *alerts : cf::Value(cf::Array{});
}

CGError CGSDamageRect(CGRect rect) {
    if (!isFinite(rect)) return kCGErrorIllegalArgument;
    return wsStatus(windowserver::op::damage, cf::Dictionary{{"x", rect.origin.x},
                                                             {"y", rect.origin.y},
                                                             {"width", rect.size.width},
                                                             {"height", rect.size.height}});
}

CGError CGSMoveCursor(CGPoint location) {
    if (!std::isfinite(location.x) || !std::isfinite(location.y)) return kCGErrorIllegalArgument;
    return wsStatus(windowserver::op::cursorMove, cf::Dictionary{{"x", location.x}, {"y", location.y}});
}

} // namespace cg
