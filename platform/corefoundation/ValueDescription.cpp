// description(): the old text style of property lists, for logs and %@.
#include "platform/corefoundation/ValueNode.h"

#include <charconv>
#include <cmath>
#include <ctime>

namespace cf {

namespace {

// Seconds from 1970-01-01 to 2001-01-01.
constexpr double kUnixToReference = 978307200.0;

bool needsQuotes(std::string_view text) {
    if (text.empty()) return true;
    for (unsigned char c : text) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                     c == '$' || c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
        if (!plain) return true;
    }
    return false;
}

void appendText(std::string& out, std::string_view text) {
    if (!needsQuotes(text)) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    out += '"';
}

template <typename F> void appendShortest(std::string& out, F value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}


void appendData(std::string& out, const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    out += '<';
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xf];
    }
    out += '>';
}

void appendDate(std::string& out, double secondsSince2001) {
    double unix = std::floor(secondsSince2001 + kUnixToReference);
    if (!(unix > -6e10 && unix < 6e10)) { // beyond what gmtime can show: print the raw value
        appendShortest(out, secondsSince2001);
        return;
    }
    time_t t = static_cast<time_t>(unix);
    tm utc{};
    gmtime_r(&t, &utc);
    char buffer[64];
    strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
    out += buffer;
}

void appendValue(std::string& out, const Value& value);

void appendArray(std::string& out, const Array& array) {
    if (array.empty()) {
        out += "()";
        return;
    }
    out += "( ";
    for (size_t i = 0; i < array.size(); ++i) {
        if (i > 0) out += ", ";
        appendValue(out, array[i]);
    }
    out += " )";
}

void appendDictionary(std::string& out, const Dictionary& dict) {
    if (dict.empty()) {
        out += "{}";
        return;
    }
    out += "{ ";
    for (const auto& [key, item] : dict) {
        appendText(out, key);
        out += " = ";
        appendValue(out, item);
        out += "; ";
    }
    out += '}';
}

void appendValue(std::string& out, const Value& value) {
    switch (value.kind()) {
    case Value::Kind::String: appendText(out, *value.asString()); break;
    case Value::Kind::Number: {
        if (value.isFloatNumber()) {
            if (*value.numberType() == kCFNumberFloat32Type) appendShortest(out, value.floatValue());
            else appendShortest(out, *value.storedReal());
        } else {
            out += std::to_string(*value.storedInteger());
        }
        break;
    }
    case Value::Kind::Boolean: out += *value.asBool() ? "1" : "0"; break;
    case Value::Kind::Data: appendData(out, *value.asData()); break;
    case Value::Kind::Date: appendDate(out, *value.asDate()); break;
    case Value::Kind::Array: appendArray(out, *value.asArray()); break;
    case Value::Kind::Dictionary: appendDictionary(out, *value.asDictionary()); break;
    case Value::Kind::UID: out += "{value = " + std::to_string(*value.asUID()) + "}"; break;
    }
}

} // namespace

std::string Value::description() const {
    std::string out;
    appendValue(out, *this);
    return out;
}

} // namespace cf
