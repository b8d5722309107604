// Locales and comparison by a locale's collation (ICU).
#pragma once

#include "platform/foundation/NSString.h"

#include <optional>
#include <string>
#include <string_view>

namespace ns {

class NSLocale {
  public:
    explicit NSLocale(std::string localeIdentifier) : m_identifier(std::move(localeIdentifier)) {}
    // The user's locale from $LC_ALL, $LC_COLLATE or $LANG ("fr_CA.UTF-8" gives "fr_CA"); "en_US"
    // when none names one.
    static NSLocale currentLocale();
    const std::string& localeIdentifier() const { return m_identifier; }

  private:
    std::string m_identifier;
};

// compare:options:range:locale: — the range of a (in bytes, clipped to a) against b by the
// locale's collation; no locale compares by the root collation. NSCaseInsensitiveSearch and
// NSWidthInsensitiveSearch ignore those differences, NSNumericSearch orders digit runs by value
// ("file9" before "file10"), NSForcedOrderingSearch orders texts that are equivalent but not
// identical by their UTF-16 units. Other options are ignored.
NSComparisonResult compare(std::string_view a, std::string_view b, NSUInteger options, NSRange range,
                           const NSLocale* locale);

} // namespace ns
