#include "platform/applicationservices/AXUIElement.h"

#include "platform/applicationservices/AXValueCoding.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/coregraphics/WindowServerClient.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>

namespace ax {

using cg::detail::integerAt;
using cg::detail::realAt;
using cg::detail::wsRequest;

namespace {

cf::Value rectArray(double a, double b, double c, double d) {
    return cf::Array{a, b, c, d};
}

bool finiteNumbers(const cf::Value* array, size_t n, double* out) {
    if (!array || !array->isArray() || array->count() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        const cf::Value* v = array->at(i);
        if (!v->isNumber() || !std::isfinite(v->doubleValue())) return false;
        out[i] = v->doubleValue();
    }
    return true;
}

cf::Value encodeElement(const AXUIElementRef& e) {
    return cf::Dictionary{{"pid", int64_t(e ? e->pid : 0)}, {"id", int64_t(e ? e->id : 0)}};
}

AXUIElementRef decodeElement(const cf::Value& v) {
    auto pid = integerAt(v, "pid");
    auto id = integerAt(v, "id");
    if (!pid || !id || *pid < 0 || *pid > INT32_MAX) return nullptr;
    return std::make_shared<AXUIElement>(AXUIElement{pid_t(*pid), uint64_t(*id)});
}

struct Responders {
    std::mutex mutex;
    std::map<pid_t, std::weak_ptr<AXResponder>> byPid;
    bool consuming = false;
};

Responders& responders() {
    static Responders* r = new Responders;
    return *r;
}

void answer(int64_t request, AXError status, const AXAttributeValue* value) {
    cf::Dictionary args{{"request", request}, {"status", status}};
    if (value) args.insert_or_assign("value", detail::encodeValue(*value));
    wsRequest(windowserver::op::axAnswer, args);
}

// A request for one of this process's pids, answered on the main run loop.
void serveRequest(const cf::Value& body) {
    auto request = integerAt(body, "request");
    auto pid = integerAt(body, "pid");
    auto id = integerAt(body, "element");
    const cf::Value* attribute = body.find("attribute");
    if (!request || !pid || !id || !attribute || !attribute->asString()) return;
    const cf::Value* set = body.find("set");
    bool setting = set && set->boolValue();
    auto newValue = std::make_shared<AXAttributeValue>();
    if (setting) {
        const cf::Value* v = body.find("value");
        if (!v || !detail::decodeValue(*v, newValue.get()))
            return answer(*request, kAXErrorIllegalArgument, nullptr);
    }
    AXUIElement element{pid_t(*pid), uint64_t(*id)};
    std::string name = *attribute->asString();
    dispatch::RunLoop::main()->perform(
        {std::string(dispatch::kCommonRunLoopModes)}, [request = *request, element, name, setting, newValue] {
            std::shared_ptr<AXResponder> responder;
            {
                Responders& r = responders();
                std::lock_guard lock(r.mutex);
                auto it = r.byPid.find(element.pid);
                if (it != r.byPid.end()) responder = it->second.lock();
            }
            if (!responder) return answer(request, kAXErrorInvalidUIElement, nullptr);
            if (auto* fake = dynamic_cast<AXFakeApplication*>(responder.get()); fake && !fake->answering())
                return; // left unanswered: the asker times out
            if (setting)
                return answer(request, responder->setAttributeValue(element, name, *newValue), nullptr);
            AXAttributeValue value;
            AXError status = responder->copyAttributeValue(element, name, &value);
            answer(request, status, status == kAXErrorSuccess ? &value : nullptr);
        });
}

AXError request(const AXUIElementRef& element, std::string_view attribute, const AXAttributeValue* newValue,
                AXAttributeValue* out) {
    if (!element || attribute.empty() || attribute.size() > 256) return kAXErrorIllegalArgument;
    cf::Dictionary args{{"pid", int64_t(element->pid)},
                        {"element", int64_t(element->id)},
                        {"attribute", std::string(attribute)}};
    if (newValue) {
        args.insert_or_assign("set", true);
        args.insert_or_assign("value", detail::encodeValue(*newValue));
    }
    auto result = wsRequest(windowserver::op::axRequest, args);
    if (!result) return kAXErrorCannotComplete;
    auto status = integerAt(*result, "status");
    if (!status) return kAXErrorFailure;
    if (*status != kAXErrorSuccess || !out) return AXError(*status);
    const cf::Value* v = result->find("value");
    if (!v || !detail::decodeValue(*v, out)) return kAXErrorFailure;
    return kAXErrorSuccess;
}

} // namespace

namespace detail {

cf::Value encodeValue(const AXAttributeValue& value) {
    if (auto* v = std::get_if<cf::Value>(&value)) return cf::Dictionary{{"type", "plist"}, {"value", *v}};
    if (auto* e = std::get_if<AXUIElementRef>(&value))
        return cf::Dictionary{{"type", "element"}, {"element", encodeElement(*e)}};
    if (auto* list = std::get_if<std::vector<AXUIElementRef>>(&value)) {
        cf::Array items;
        for (auto& e : *list)
            items.push_back(encodeElement(e));
        return cf::Dictionary{{"type", "elements"}, {"elements", cf::Value(std::move(items))}};
    }
    if (auto* a = std::get_if<AXValueRef>(&value); a && *a) {
        const AXValue& x = **a;
        cf::Value numbers = rectArray(0, 0, 0, 0);
        switch (x.type) {
        case kAXValueCGPointType:
            numbers = cf::Array{x.point.x, x.point.y};
            break;
        case kAXValueCGSizeType:
            numbers = cf::Array{x.size.width, x.size.height};
            break;
        case kAXValueCGRectType:
            numbers = rectArray(x.rect.origin.x, x.rect.origin.y, x.rect.size.width, x.rect.size.height);
            break;
        case kAXValueCFRangeType:
            numbers = cf::Array{double(x.range.location), double(x.range.length)};
            break;
        default:
            break;
        }
        return cf::Dictionary{{"type", "axvalue"}, {"axType", int32_t(x.type)}, {"numbers", numbers}};
    }
    return cf::Dictionary{{"type", "none"}};
}

bool decodeValue(const cf::Value& value, AXAttributeValue* out) {
    const cf::Value* type = value.find("type");
    if (!type || !type->asString()) return false;
    const std::string& t = *type->asString();
    if (t == "none") {
        *out = std::monostate{};
        return true;
    }
    if (t == "plist") {
        const cf::Value* v = value.find("value");
        if (!v) return false;
        *out = *v;
        return true;
    }
    if (t == "element") {
        const cf::Value* e = value.find("element");
        AXUIElementRef element = e ? decodeElement(*e) : nullptr;
        if (!element) return false;
        *out = element;
        return true;
    }
    if (t == "elements") {
        const cf::Value* items = value.find("elements");
        if (!items || !items->isArray() || items->count() > 100000) return false;
        std::vector<AXUIElementRef> list;
        for (size_t i = 0; i < items->count(); ++i) {
            AXUIElementRef e = decodeElement(*items->at(i));
            if (!e) return false;
            list.push_back(e);
        }
        *out = std::move(list);
        return true;
    }
    if (t == "axvalue") {
        auto axType = integerAt(value, "axType");
        const cf::Value* numbers = value.find("numbers");
        double n[4] = {};
        AXValue x;
        if (!axType) return false;
        x.type = AXValueType(*axType);
        switch (x.type) {
        case kAXValueCGPointType:
            if (!finiteNumbers(numbers, 2, n)) return false;
            x.point = cg::CGPointMake(n[0], n[1]);
            break;
        case kAXValueCGSizeType:
            if (!finiteNumbers(numbers, 2, n)) return false;
            x.size = cg::CGSizeMake(n[0], n[1]);
            break;
        case kAXValueCGRectType:
            if (!finiteNumbers(numbers, 4, n)) return false;
            x.rect = cg::CGRectMake(n[0], n[1], n[2], n[3]);
            break;
        case kAXValueCFRangeType:
            if (!finiteNumbers(numbers, 2, n)) return false;
            x.range = {int64_t(n[0]), int64_t(n[1])};
            break;
        default:
            return false;
        }
        *out = AXValueRef(std::make_shared<const AXValue>(x));
        return true;
    }
    return false;
}

} // namespace detail

AXValueRef AXValueCreate(AXValueType type, const void* value) {
    if (!value) return nullptr;
    AXValue x;
    x.type = type;
    switch (type) {
    case kAXValueCGPointType:
        x.point = *static_cast<const cg::CGPoint*>(value);
        break;
    case kAXValueCGSizeType:
        x.size = *static_cast<const cg::CGSize*>(value);
        break;
    case kAXValueCGRectType:
        x.rect = *static_cast<const cg::CGRect*>(value);
        break;
    case kAXValueCFRangeType:
        x.range = *static_cast<const AXValueRange*>(value);
        break;
    default:
        return nullptr;
    }
    return std::make_shared<const AXValue>(x);
}

AXValueType AXValueGetType(const AXValueRef& value) {
    return value ? value->type : kAXValueIllegalType;
}

bool AXValueGetValue(const AXValueRef& value, AXValueType type, void* out) {
    if (!value || !out || value->type != type) return false;
    switch (type) {
    case kAXValueCGPointType:
        *static_cast<cg::CGPoint*>(out) = value->point;
        return true;
    case kAXValueCGSizeType:
        *static_cast<cg::CGSize*>(out) = value->size;
        return true;
    case kAXValueCGRectType:
        *static_cast<cg::CGRect*>(out) = value->rect;
        return true;
    case kAXValueCFRangeType:
        *static_cast<AXValueRange*>(out) = value->range;
        return true;
    default:
        return false;
    }
}

bool AXAPIEnabled() {
    auto result = wsRequest(windowserver::op::axEnabled);
    const cf::Value* enabled = result ? result->find("enabled") : nullptr;
    return enabled && enabled->boolValue();
}

bool AXIsProcessTrusted() {
    return AXAPIEnabled();
}

AXUIElementRef AXUIElementCreateApplication(pid_t pid) {
    return std::make_shared<const AXUIElement>(AXUIElement{pid, 0});
}

AXUIElementRef AXUIElementCreateSystemWide() {
    return std::make_shared<const AXUIElement>(AXUIElement{0, 0});
}

AXError AXUIElementGetPid(const AXUIElementRef& element, pid_t* pid) {
    if (!element || !pid) return kAXErrorIllegalArgument;
    *pid = element->pid;
    return kAXErrorSuccess;
}

AXError AXUIElementCopyAttributeValue(const AXUIElementRef& element, std::string_view attribute,
                                      AXAttributeValue* value) {
    if (!value) return kAXErrorIllegalArgument;
    return request(element, attribute, nullptr, value);
}

AXError AXUIElementSetAttributeValue(const AXUIElementRef& element, std::string_view attribute,
                                     const AXAttributeValue& value) {
    return request(element, attribute, &value, nullptr);
}

AXError AXInstallResponder(pid_t pid, const std::shared_ptr<AXResponder>& responder) {
    if (!responder) return kAXErrorIllegalArgument;
    Responders& r = responders();
    {
        std::lock_guard lock(r.mutex);
        r.byPid[pid] = responder;
        if (!r.consuming) {
            r.consuming = true;
            cg::detail::setPushConsumer(windowserver::push::axRequest, serveRequest);
        }
    }
    auto result =
        wsRequest(windowserver::op::axRespond, cf::Dictionary{{"pid", int64_t(pid)}, {"responding", true}});
    AXError status =
        result ? AXError(integerAt(*result, "status").value_or(kAXErrorFailure)) : kAXErrorCannotComplete;
    if (status != kAXErrorSuccess) {
        std::lock_guard lock(r.mutex);
        r.byPid.erase(pid);
    }
    return status;
}

void AXRemoveResponder(pid_t pid) {
    {
        Responders& r = responders();
        std::lock_guard lock(r.mutex);
        r.byPid.erase(pid);
    }
    wsRequest(windowserver::op::axRespond, cf::Dictionary{{"pid", int64_t(pid)}, {"responding", false}});
}

// ---- The fake application.

std::shared_ptr<AXFakeApplication> AXFakeApplication::create(const std::string& name,
                                                             const std::string& bundleIdentifier) {
    auto result = wsRequest(windowserver::op::axFakeApplication,
                            cf::Dictionary{{"name", name}, {"bundleIdentifier", bundleIdentifier}});
    if (!result || integerAt(*result, "status").value_or(kAXErrorFailure) != kAXErrorSuccess) return nullptr;
    auto pid = integerAt(*result, "pid");
    if (!pid) return nullptr;
    std::shared_ptr<AXFakeApplication> app(new AXFakeApplication);
    app->m_pid = pid_t(*pid);
    app->m_name = name;
    if (AXInstallResponder(app->m_pid, app) != kAXErrorSuccess) return nullptr;
    return app;
}

AXFakeApplication::~AXFakeApplication() {
    for (uint32_t w : m_windows)
        cg::CGSReleaseWindow(w);
    AXRemoveResponder(m_pid);
}

uint32_t AXFakeApplication::addWindow(const std::string& title, cg::CGRect frame, int32_t level) {
    cg::CGSWindowRecord record;
    record.ownerPID = m_pid;
    record.title = title;
    record.level = level;
    record.frame = frame;
    record.onScreen = true;
    cg::CGSWindowStoreRef store;
    uint32_t window = cg::CGSNewWindow(record, &store);
    if (window) {
        std::lock_guard lock(m_mutex);
        m_windows.push_back(window);
        if (store) m_stores[window] = store;
    }
    // Its picture until filled: transparent.
    if (store) cg::CGSFlushWindow(window, {cg::CGRectMake(0, 0, frame.size.width, frame.size.height)});
    return window;
}

bool AXFakeApplication::moveWindow(uint32_t window, cg::CGRect frame) {
    cg::CGSWindowStoreRef store;
    bool replaced = false;
    if (cg::CGSSetWindowFrame(window, frame, &store, &replaced) != cg::kCGErrorSuccess) return false;
    if (replaced && store) {
        std::lock_guard lock(m_mutex);
        m_stores[window] = store;
    }
    return true;
}

std::vector<uint32_t> AXFakeApplication::windows() const {
    std::lock_guard lock(m_mutex);
    return m_windows;
}

AXError AXFakeApplication::copyAttributeValue(const AXUIElement& element, std::string_view attribute,
                                              AXAttributeValue* value) {
    auto list = windows();
    if (element.id == 0) {
        if (attribute == kAXWindowsAttribute) {
            std::vector<AXUIElementRef> elements;
            for (uint32_t w : list)
                elements.push_back(std::make_shared<const AXUIElement>(AXUIElement{m_pid, w}));
            *value = std::move(elements);
            return kAXErrorSuccess;
        }
        if (attribute == kAXTitleAttribute) {
            *value = cf::Value(m_name);
            return kAXErrorSuccess;
        }
        if (attribute == kAXMenuBarAttribute) {
            std::lock_guard lock(m_mutex);
            if (!m_menuBar) return kAXErrorNoValue;
            *value = std::make_shared<const AXUIElement>(AXUIElement{m_pid, m_menuBar});
            return kAXErrorSuccess;
        }
        return kAXErrorAttributeUnsupported;
    }
    if (element.id >= kFirstMenuElement) {
        std::lock_guard lock(m_mutex);
        auto node = m_menus.find(element.id);
        if (node == m_menus.end()) return kAXErrorInvalidUIElement;
        return copyMenuAttribute(node->second, attribute, value);
    }
    if (std::find(list.begin(), list.end(), uint32_t(element.id)) == list.end())
        return kAXErrorInvalidUIElement;
    auto descriptions = cg::CGWindowListCreateDescriptionFromArray({uint32_t(element.id)});
    if (!descriptions || descriptions->count() != 1) return kAXErrorInvalidUIElement;
    const cf::Value& d = *descriptions->at(0);
    cg::CGRect frame;
    if (!cg::CGRectMakeWithDictionaryRepresentation(d.find(cg::kCGWindowBounds), &frame))
        return kAXErrorFailure;
    if (attribute == kAXPositionAttribute) {
        *value = AXValueCreate(kAXValueCGPointType, &frame.origin);
    } else if (attribute == kAXSizeAttribute) {
        *value = AXValueCreate(kAXValueCGSizeType, &frame.size);
    } else if (attribute == kAXTitleAttribute) {
        const cf::Value* title = d.find(cg::kCGWindowName);
        *value = title ? *title : cf::Value("");
    } else if (attribute == kAXMainAttribute) {
        *value = cf::Value(!list.empty() && list.front() == uint32_t(element.id));
    } else {
        return kAXErrorAttributeUnsupported;
    }
    return kAXErrorSuccess;
}

AXError AXFakeApplication::setAttributeValue(const AXUIElement& element, std::string_view attribute,
                                             const AXAttributeValue& value) {
    auto list = windows();
    if (element.id == 0 || std::find(list.begin(), list.end(), uint32_t(element.id)) == list.end())
        return element.id == 0 ? kAXErrorAttributeUnsupported : kAXErrorInvalidUIElement;
    auto descriptions = cg::CGWindowListCreateDescriptionFromArray({uint32_t(element.id)});
    cg::CGRect frame;
    if (!descriptions || descriptions->count() != 1 ||
        !cg::CGRectMakeWithDictionaryRepresentation(descriptions->at(0)->find(cg::kCGWindowBounds), &frame))
        return kAXErrorInvalidUIElement;
    auto* axValue = std::get_if<AXValueRef>(&value);
    if (!axValue || !*axValue) return kAXErrorIllegalArgument;
    if (attribute == kAXPositionAttribute && AXValueGetValue(*axValue, kAXValueCGPointType, &frame.origin)) {
    } else if (attribute == kAXSizeAttribute && AXValueGetValue(*axValue, kAXValueCGSizeType, &frame.size)) {
    } else {
        return attribute == kAXPositionAttribute || attribute == kAXSizeAttribute
                   ? kAXErrorIllegalArgument
                   : kAXErrorAttributeUnsupported;
    }
    return cg::CGSSetWindowFrame(uint32_t(element.id), frame) == cg::kCGErrorSuccess
               ? kAXErrorSuccess
               : kAXErrorIllegalArgument;
}

} // namespace ax
