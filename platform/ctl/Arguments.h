// platformctl's command line: positional words and --options, checked against what one verb
// accepts, so every verb reports a usage error the same way.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ctl {

struct OptionInfo {
    std::string name;        // without the leading "--"
    bool takesValue = true;  // --name VALUE, else a flag
    bool repeatable = false; // --match k=v --match k2=v2
};

class Arguments {
  public:
    // Parses args (after the verb) against the options; answers nullopt and sets error for an
    // unknown option, a missing value or a repeated single option.
    static std::optional<Arguments> parse(const std::vector<std::string>& args,
                                          const std::vector<OptionInfo>& options, std::string& error);

    const std::vector<std::string>& positionals() const { return m_positionals; }
    bool has(const std::string& name) const { return m_values.count(name) > 0; }
    std::optional<std::string> value(const std::string& name) const;
    std::vector<std::string> values(const std::string& name) const;

    // Typed readers; nullopt when absent, error set (and nullopt) when present but malformed.
    std::optional<double> seconds(const std::string& name, std::string& error) const;
    std::optional<long long> integer(const std::string& name, std::string& error) const;

  private:
    std::vector<std::string> m_positionals;
    std::multimap<std::string, std::string> m_values;
};

// Strict decimal readers: the whole text must be the number.
std::optional<long long> parseInteger(const std::string& text);
std::optional<double> parseReal(const std::string& text);

} // namespace ctl
