#include "platform/applicationservices/AXUIElement.h"

#include "platform/applicationservices/AXValueCoding.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/coregraphics/WindowServerClient.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Thread.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <optional>

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

// One question to a responder: read, set, perform, read several, or one of the queries (the
// attribute names, an attribute's count or a run of its values, an action's description).
struct Question {
    enum Kind { Copy, Set, Action, Multiple, Names, Count, Values, ActionDescription };
    Kind kind = Copy;
    AXUIElement element;
    std::string attribute; // the action's name for Action and ActionDescription
    std::vector<std::string> attributes;
    AXAttributeValue newValue;
    int64_t index = 0;
    int64_t maximum = 0;
};

constexpr std::pair<Question::Kind, std::string_view> kQueries[] = {
    {Question::Names, "names"},
    {Question::Count, "count"},
    {Question::Values, "values"},
    {Question::ActionDescription, "actionDescription"}};

struct Answer {
    AXError status = kAXErrorFailure;
    std::optional<cf::Value> value; // encoded
    std::function<void()> deed;     // runs once the answer is sent
};

std::shared_ptr<AXResponder> responderFor(pid_t pid) {
    Responders& r = responders();
    std::lock_guard lock(r.mutex);
    auto it = r.byPid.find(pid);
    return it == r.byPid.end() ? nullptr : it->second.lock();
}

Answer put(AXResponder& responder, const Question& q) {
    Answer a;
    switch (q.kind) {
    case Question::Copy: {
        AXAttributeValue value;
        a.status = responder.copyAttributeValue(q.element, q.attribute, &value);
        if (a.status == kAXErrorSuccess) a.value = detail::encodeValue(value);
        break;
    }
    case Question::Set:
        a.status = responder.setAttributeValue(q.element, q.attribute, q.newValue);
        break;
    case Question::Action:
        a.status = responder.performAction(q.element, q.attribute, &a.deed);
        if (a.status != kAXErrorSuccess) a.deed = nullptr;
        break;
    case Question::Multiple: {
        cf::Array results;
        for (const auto& attribute : q.attributes) {
            AXAttributeValue value;
            AXError status = responder.copyAttributeValue(q.element, attribute, &value);
            cf::Dictionary one{{"status", status}};
            if (status == kAXErrorSuccess) one.insert_or_assign("value", detail::encodeValue(value));
            results.push_back(cf::Value(std::move(one)));
        }
        a.status = kAXErrorSuccess;
        a.value = cf::Dictionary{{"type", "multiple"}, {"results", cf::Value(std::move(results))}};
        break;
    }
    case Question::Names: {
        std::vector<std::string> names;
        a.status = responder.copyAttributeNames(q.element, &names);
        cf::Array list(names.begin(), names.end());
        if (a.status == kAXErrorSuccess) a.value = detail::encodeValue(cf::Value(std::move(list)));
        break;
    }
    case Question::Count: {
        int64_t count = 0;
        a.status = responder.getAttributeValueCount(q.element, q.attribute, &count);
        if (a.status == kAXErrorSuccess) a.value = detail::encodeValue(cf::Value(count));
        break;
    }
    case Question::Values: {
        AXAttributeValue values;
        a.status = responder.copyAttributeValues(q.element, q.attribute, q.index, q.maximum, &values);
        if (a.status == kAXErrorSuccess) a.value = detail::encodeValue(values);
        break;
    }
    case Question::ActionDescription: {
        std::string description;
        a.status = responder.copyActionDescription(q.element, q.attribute, &description);
        if (a.status == kAXErrorSuccess) a.value = detail::encodeValue(cf::Value(description));
        break;
    }
    }
    return a;
}

void answer(int64_t request, AXError status, const std::optional<cf::Value>& value) {
    cf::Dictionary args{{"request", request}, {"status", status}};
    if (value) args.insert_or_assign("value", *value);
    wsRequest(windowserver::op::axAnswer, args);
}

// Attribute names of a request: each a short non-empty text.
bool attributeNames(const cf::Value* list, std::vector<std::string>* out) {
    if (!list || !list->isArray() || list->count() == 0 || list->count() > kAXMaxMultipleAttributes)
        return false;
    for (size_t i = 0; i < list->count(); ++i) {
        const std::string* name = list->at(i)->asString();
        if (!name || name->empty() || name->size() > 256) return false;
        out->push_back(*name);
    }
    return true;
}

// A request for one of this process's pids, answered on the main run loop.
void serveRequest(const cf::Value& body) {
    auto request = integerAt(body, "request");
    auto pid = integerAt(body, "pid");
    auto id = integerAt(body, "element");
    const cf::Value* attribute = body.find("attribute");
    if (!request || !pid || !id || !attribute || !attribute->asString()) return;
    auto q = std::make_shared<Question>();
    q->element = AXUIElement{pid_t(*pid), uint64_t(*id)};
    q->attribute = *attribute->asString();
    const cf::Value* set = body.find("set");
    const cf::Value* action = body.find("action");
    if (set && set->boolValue()) {
        q->kind = Question::Set;
        const cf::Value* v = body.find("value");
        if (!v || !detail::decodeValue(*v, &q->newValue))
            return answer(*request, kAXErrorIllegalArgument, std::nullopt);
    } else if (action && action->boolValue()) {
        q->kind = Question::Action;
    } else if (body.find("attributes")) {
        q->kind = Question::Multiple;
        if (!attributeNames(body.find("attributes"), &q->attributes))
            return answer(*request, kAXErrorIllegalArgument, std::nullopt);
    } else if (const cf::Value* query = body.find("query")) {
        const auto known = std::find_if(std::begin(kQueries), std::end(kQueries), [&](const auto& entry) {
            return query->asString() && *query->asString() == entry.second;
        });
        if (known == std::end(kQueries)) return answer(*request, kAXErrorIllegalArgument, std::nullopt);
        q->kind = known->first;
        q->index = integerAt(body, "index").value_or(0);
        q->maximum = integerAt(body, "maximum").value_or(0);
    }
    dispatch::RunLoop::main()->perform({std::string(dispatch::kCommonRunLoopModes)}, [request = *request, q] {
        std::shared_ptr<AXResponder> responder = responderFor(q->element.pid);
        if (!responder) return answer(request, kAXErrorInvalidUIElement, std::nullopt);
        if (auto* fake = dynamic_cast<AXFakeApplication*>(responder.get()); fake && !fake->answering())
            return; // left unanswered: the asker times out
        Answer a = put(*responder, *q);
        answer(request, a.status, a.value);
        if (a.deed) a.deed();
    });
}

// Asks the element's owner; answers the status and the encoded value.
AXError ask(const AXUIElementRef& element, const Question& q, std::optional<cf::Value>* value) {
    if (!element || q.attribute.empty() || q.attribute.size() > 256) return kAXErrorIllegalArgument;
    // Asking itself from its main thread: the main loop cannot serve the request meanwhile.
    if (dispatch::isMainThread()) {
        if (auto responder = responderFor(element->pid)) {
            // The switch holds here too (asked of the window server, which answers at once).
            auto enabled = wsRequest(windowserver::op::axEnabled);
            const cf::Value* on = enabled ? enabled->find("enabled") : nullptr;
            if (on && !on->boolValue()) return kAXErrorAPIDisabled;
            Answer a = put(*responder, q);
            if (value) *value = a.value;
            if (a.deed) a.deed();
            return a.status;
        }
    }
    cf::Dictionary args{
        {"pid", int64_t(element->pid)}, {"element", int64_t(element->id)}, {"attribute", q.attribute}};
    if (q.kind == Question::Set) {
        args.insert_or_assign("set", true);
        args.insert_or_assign("value", detail::encodeValue(q.newValue));
    } else if (q.kind == Question::Action) {
        args.insert_or_assign("action", true);
    } else if (q.kind == Question::Multiple) {
        cf::Array names;
        for (const auto& a : q.attributes)
            names.push_back(a);
        args.insert_or_assign("attributes", cf::Value(std::move(names)));
    } else {
        for (const auto& [kind, name] : kQueries) {
            if (kind != q.kind) continue;
            args.insert_or_assign("query", std::string(name));
            args.insert_or_assign("index", q.index);
            args.insert_or_assign("maximum", q.maximum);
        }
    }
    auto result = wsRequest(windowserver::op::axRequest, args);
    if (!result) return kAXErrorCannotComplete;
    auto status = integerAt(*result, "status");
    if (!status) return kAXErrorFailure;
    if (*status == kAXErrorSuccess && value)
        if (const cf::Value* v = result->find("value")) *value = *v;
    return AXError(*status);
}

AXError request(const AXUIElementRef& element, std::string_view attribute, const AXAttributeValue* newValue,
                AXAttributeValue* out) {
    Question q;
    q.kind = newValue ? Question::Set : Question::Copy;
    q.element = element ? *element : AXUIElement{};
    q.attribute = std::string(attribute);
    if (newValue) q.newValue = *newValue;
    std::optional<cf::Value> encoded;
    AXError status = ask(element, q, &encoded);
    if (status != kAXErrorSuccess || !out) return status;
    if (!encoded || !detail::decodeValue(*encoded, out)) return kAXErrorFailure;
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

namespace {

// The texts of an array of names (other entries left out); a failure for anything else.
AXError namesOf(const AXAttributeValue& value, std::vector<std::string>* names) {
    const cf::Value* list = std::get_if<cf::Value>(&value);
    if (!list || !list->isArray()) return kAXErrorFailure;
    names->clear();
    for (size_t i = 0; i < list->count(); ++i)
        if (const std::string* name = list->at(i)->asString()) names->push_back(*name);
    return kAXErrorSuccess;
}

} // namespace

AXError AXUIElementPerformAction(const AXUIElementRef& element, std::string_view action) {
    Question q;
    q.kind = Question::Action;
    q.element = element ? *element : AXUIElement{};
    q.attribute = std::string(action);
    return ask(element, q, nullptr);
}

AXError AXUIElementCopyActionNames(const AXUIElementRef& element, std::vector<std::string>* names) {
    if (!names) return kAXErrorIllegalArgument;
    AXAttributeValue value;
    AXError status = AXUIElementCopyAttributeValue(element, kAXActionNamesAttribute, &value);
    if (status != kAXErrorSuccess) return status;
    return namesOf(value, names);
}

AXError AXUIElementCopyMultipleAttributeValues(const AXUIElementRef& element,
                                               const std::vector<std::string>& attributes,
                                               std::vector<AXAttributeValue>* values,
                                               std::vector<AXError>* errors) {
    if (!values || attributes.empty() || attributes.size() > kAXMaxMultipleAttributes)
        return kAXErrorIllegalArgument;
    for (const auto& a : attributes)
        if (a.empty() || a.size() > 256) return kAXErrorIllegalArgument;
    Question q;
    q.kind = Question::Multiple;
    q.element = element ? *element : AXUIElement{};
    q.attribute = attributes.front();
    q.attributes = attributes;
    std::optional<cf::Value> encoded;
    AXError status = ask(element, q, &encoded);
    if (status != kAXErrorSuccess) return status;
    const cf::Value* results = encoded ? encoded->find("results") : nullptr;
    if (!results || !results->isArray() || results->count() != attributes.size()) return kAXErrorFailure;
    values->assign(attributes.size(), AXAttributeValue{});
    if (errors) errors->assign(attributes.size(), kAXErrorFailure);
    for (size_t i = 0; i < attributes.size(); ++i) {
        const cf::Value& one = *results->at(i);
        AXError e = AXError(integerAt(one, "status").value_or(kAXErrorFailure));
        const cf::Value* v = one.find("value");
        if (e == kAXErrorSuccess && (!v || !detail::decodeValue(*v, &(*values)[i]))) e = kAXErrorFailure;
        if (errors) (*errors)[i] = e;
    }
    return kAXErrorSuccess;
}

namespace {

// A query's answer decoded.
AXError query(const AXUIElementRef& element, Question q, AXAttributeValue* out) {
    q.element = element ? *element : AXUIElement{};
    std::optional<cf::Value> encoded;
    AXError status = ask(element, q, &encoded);
    if (status != kAXErrorSuccess) return status;
    if (!encoded || !detail::decodeValue(*encoded, out)) return kAXErrorFailure;
    return kAXErrorSuccess;
}

} // namespace

AXError AXUIElementCopyAttributeNames(const AXUIElementRef& element, std::vector<std::string>* names) {
    if (!names) return kAXErrorIllegalArgument;
    Question q;
    q.kind = Question::Names;
    q.attribute = "AXAttributeNames";
    AXAttributeValue value;
    AXError status = query(element, q, &value);
    if (status != kAXErrorSuccess) return status;
    return namesOf(value, names);
}

AXError AXUIElementGetAttributeValueCount(const AXUIElementRef& element, std::string_view attribute,
                                          int64_t* count) {
    if (!count) return kAXErrorIllegalArgument;
    Question q;
    q.kind = Question::Count;
    q.attribute = std::string(attribute);
    AXAttributeValue value;
    AXError status = query(element, q, &value);
    if (status != kAXErrorSuccess) return status;
    const cf::Value* number = std::get_if<cf::Value>(&value);
    if (!number || !number->storedInteger() || *number->storedInteger() < 0) return kAXErrorFailure;
    *count = *number->storedInteger();
    return kAXErrorSuccess;
}

AXError AXUIElementCopyAttributeValues(const AXUIElementRef& element, std::string_view attribute,
                                       int64_t index, int64_t maxValues, AXAttributeValue* values) {
    if (!values || index < 0 || maxValues < 0) return kAXErrorIllegalArgument;
    Question q;
    q.kind = Question::Values;
    q.attribute = std::string(attribute);
    q.index = index;
    q.maximum = maxValues;
    return query(element, q, values);
}

AXError AXUIElementCopyActionDescription(const AXUIElementRef& element, std::string_view action,
                                         std::string* description) {
    if (!description) return kAXErrorIllegalArgument;
    Question q;
    q.kind = Question::ActionDescription;
    q.attribute = std::string(action);
    AXAttributeValue value;
    AXError status = query(element, q, &value);
    if (status != kAXErrorSuccess) return status;
    const cf::Value* text = std::get_if<cf::Value>(&value);
    if (!text || !text->asString()) return kAXErrorFailure;
    *description = *text->asString();
    return kAXErrorSuccess;
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
    app->m_nextMenuElement = (uint64_t(uint32_t(*pid)) << 32) + 1;
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
    if (element.id == 0 && attribute == kAXFrontmostAttribute) {
        const cf::Value* flag = std::get_if<cf::Value>(&value);
        if (!flag || !(flag->isBoolean() || flag->isNumber())) return kAXErrorIllegalArgument;
        m_frontmost = flag->boolValue();
        return kAXErrorSuccess;
    }
    auto list = windows();
    if (element.id == 0 || std::find(list.begin(), list.end(), uint32_t(element.id)) == list.end())
        return element.id == 0 ? kAXErrorAttributeUnsupported : kAXErrorInvalidUIElement;
    auto descriptions = cg::CGWindowListCreateDescriptionFromArray({uint32_t(element.id)});
    cg::CGRect frame;
    if (!descriptions || descriptions->count() != 1 ||
        !cg::CGRectMakeWithDictionaryRepresentation(descriptions->at(0)->find(cg::kCGWindowBounds), &frame))
        return kAXErrorInvalidUIElement;
    if (attribute == kAXMainAttribute) {
        const cf::Value* flag = std::get_if<cf::Value>(&value);
        if (!flag || !(flag->isBoolean() || flag->isNumber())) return kAXErrorIllegalArgument;
        if (flag->boolValue()) m_mainWindow = uint32_t(element.id);
        return kAXErrorSuccess;
    }
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
