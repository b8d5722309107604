#include "platform/ctl/Arguments.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace ctl {

namespace {

const OptionInfo* findOption(const std::vector<OptionInfo>& options, const std::string& name) {
    for (auto& o : options)
        if (o.name == name) return &o;
    return nullptr;
}

} // namespace

std::optional<Arguments> Arguments::parse(const std::vector<std::string>& args,
                                          const std::vector<OptionInfo>& options, std::string& error) {
    Arguments parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (optionsEnded || word.size() < 3 || word.compare(0, 2, "--") != 0) {
            if (word == "--") {
                optionsEnded = true;
                continue;
            }
            parsed.m_positionals.push_back(word);
            continue;
        }
        std::string name = word.substr(2);
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        const OptionInfo* option = findOption(options, name);
        if (!option) {
            error = "unknown option --" + name;
            return std::nullopt;
        }
        if (!option->repeatable && parsed.has(name)) {
            error = "--" + name + " given twice";
            return std::nullopt;
        }
        std::string value;
        if (option->takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                error = "--" + name + " needs a value";
                return std::nullopt;
            }
        } else if (inlineValue) {
            error = "--" + name + " takes no value";
            return std::nullopt;
        }
        parsed.m_values.emplace(name, value);
    }
    return parsed;
}

std::optional<std::string> Arguments::value(const std::string& name) const {
    auto it = m_values.find(name);
    if (it == m_values.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> Arguments::values(const std::string& name) const {
    std::vector<std::string> out;
    auto [from, to] = m_values.equal_range(name);
    for (auto it = from; it != to; ++it)
        out.push_back(it->second);
    return out;
}

std::optional<double> Arguments::seconds(const std::string& name, std::string& error) const {
    auto text = value(name);
    if (!text) return std::nullopt;
    auto s = parseReal(*text);
    if (!s || *s < 0 || !std::isfinite(*s)) {
        error = "--" + name + " needs a number of seconds, not \"" + *text + "\"";
        return std::nullopt;
    }
    return s;
}

std::optional<long long> Arguments::integer(const std::string& name, std::string& error) const {
    auto text = value(name);
    if (!text) return std::nullopt;
    auto n = parseInteger(*text);
    if (!n) {
        error = "--" + name + " needs an integer, not \"" + *text + "\"";
        return std::nullopt;
    }
    return n;
}

std::optional<long long> parseInteger(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || end == text.c_str()) return std::nullopt;
    return n;
}

std::optional<double> parseReal(const std::string& text) {
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' || c == 'e' ||
              c == 'E'))
            return std::nullopt; // no hex, "inf" or "nan"
    errno = 0;
    char* end = nullptr;
    double d = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || end == text.c_str()) return std::nullopt;
    return d;
}

} // namespace ctl
