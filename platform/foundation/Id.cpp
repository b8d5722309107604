#include "platform/foundation/Id.h"

#include "platform/core/Format.h"
#include "platform/foundation/NSObject.h"

namespace ns {

namespace {

template <typename T> NSComparisonResult order(const T& a, const T& b) {
    return a < b ? NSOrderedAscending : b < a ? NSOrderedDescending : NSOrderedSame;
}

// Kinds that do not compare among each other sort by this rank.
int rank(const Id& v) {
    if (v.isNil()) return 0;
    if (const cf::Value* p = v.value()) {
        if (p->isNumber() || p->isBoolean()) return 1;
        if (p->isString()) return 2;
        if (p->isDate()) return 3;
        return 4;
    }
    if (v.object()) return 5;
    return 6;
}

} // namespace

std::shared_ptr<NSObject> Id::object() const {
    const auto* p = std::get_if<std::shared_ptr<NSObject>>(&m_value);
    return p ? *p : nullptr;
}

IdArray Id::arrayValue() const {
    if (const IdArray* a = array()) return *a;
    IdArray out;
    if (const cf::Array* a = value() ? value()->asArray() : nullptr)
        for (const cf::Value& element : *a)
            out.emplace_back(element);
    return out;
}

NSComparisonResult Id::compare(const Id& other) const {
    int r = rank(*this), s = rank(other);
    if (r != s) return order(r, s);
    switch (r) {
    case 0:
        return NSOrderedSame;
    case 1: {
        const cf::Value &a = *value(), &b = *other.value();
        if (a.isFloatNumber() || b.isFloatNumber()) return order(a.doubleValue(), b.doubleValue());
        return order(a.integerValue(), b.integerValue());
    }
    case 2:
        return ns::compare(*string(), *other.string());
    case 3:
        return order(*value()->asDate(), *other.value()->asDate());
    case 5:
        return order(object().get(), other.object().get());
    default:
        return NSOrderedSame;
    }
}

bool Id::operator==(const Id& other) const {
    if (m_value.index() != other.m_value.index()) return false;
    if (const cf::Value* v = value()) return *v == *other.value();
    if (array()) return *array() == *other.array();
    if (indexSet()) return *indexSet() == *other.indexSet();
    return object() == other.object();
}

std::string Id::description() const {
    if (isNil()) return "(null)";
    if (const cf::Value* v = value()) return v->description();
    if (auto o = object()) return o->description();
    std::string out = "(";
    if (const IdArray* a = array())
        for (size_t i = 0; i < a->size(); ++i)
            out += (i ? ", " : " ") + (*a)[i].description();
    else
        for (NSUInteger i : *indexSet())
            out += platform::format(" %lu", i);
    return out + " )";
}

} // namespace ns
