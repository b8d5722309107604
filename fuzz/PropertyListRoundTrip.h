// The write-back check of the property-list targets: a value that reads must write as XML and
// as binary and read back equal (XML keeps dates to whole seconds and UIDs as {"CF$UID": n}
// dictionaries, binary dates to the microsecond; NaN equals NaN here).
#pragma once

#include "fuzz/FuzzSupport.h"
#include "platform/corefoundation/PropertyList.h"

#include <cmath>

namespace fuzz {

inline bool sameValue(const cf::Value& a, const cf::Value& b, cf::PropertyListFormat format) {
    // XML has no UID of its own: it writes {"CF$UID": n}, which reads back as that dictionary.
    if (a.isUID() && b.isDictionary() && format == cf::PropertyListFormat::XML) {
        const cf::Value* n = b.find("CF$UID");
        return b.count() == 1 && n && n->storedInteger() && uint64_t(*n->storedInteger()) == *a.asUID();
    }
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
    case cf::Value::Kind::Number: {
        const auto x = a.storedReal(), y = b.storedReal();
        if (x && y && std::isnan(*x) && std::isnan(*y)) return true;
        return a == b;
    }
    case cf::Value::Kind::Date:
        // libplist hands dates over as whole seconds and truncated microseconds, so a binary
        // round trip may lose one microsecond.
        return std::fabs(*a.asDate() - *b.asDate()) < (format == cf::PropertyListFormat::XML ? 1.0 : 2e-6);
    case cf::Value::Kind::Array: {
        if (a.count() != b.count()) return false;
        for (size_t i = 0; i < a.count(); ++i)
            if (!sameValue(*a.at(i), *b.at(i), format)) return false;
        return true;
    }
    case cf::Value::Kind::Dictionary: {
        const cf::Dictionary& x = *a.asDictionary();
        const cf::Dictionary& y = *b.asDictionary();
        if (x.size() != y.size()) return false;
        for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
            if (i->first != j->first || !sameValue(i->second, j->second, format)) return false;
        return true;
    }
    default:
        return a == b;
    }
}

inline void checkWriteBack(const cf::Value& value) {
    for (auto format : {cf::PropertyListFormat::XML, cf::PropertyListFormat::Binary}) {
        const char* name = format == cf::PropertyListFormat::XML ? "XML" : "binary";
        platform::Error error;
        auto bytes = cf::dataFromPropertyList(value, format, &error);
        if (!bytes)
            fail("a value that read does not write as", std::string(name) + ": " + error.description());
        auto again = cf::propertyListFromData(*bytes, &error);
        if (!again)
            fail("a written value does not read back from", std::string(name) + ": " + error.description());
        if (!sameValue(value, *again, format))
            fail("a value read back different from",
                 std::string(name) + ": " + value.description() + " vs " + again->description());
    }
}

} // namespace fuzz
