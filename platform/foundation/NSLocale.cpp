#include "platform/foundation/NSLocale.h"

#include "platform/core/Log.h"

#include <cstdlib>
#include <memory>
#include <unicode/coll.h>

namespace ns {

NSLocale NSLocale::currentLocale() {
    for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::string id(value);
        id = id.substr(0, id.find_first_of(".@"));
        if (id == "C" || id == "POSIX") break;
        return NSLocale(id);
    }
    return NSLocale("en_US");
}

NSComparisonResult compare(std::string_view a, std::string_view b, NSUInteger options, NSRange range,
                           const NSLocale* locale) {
    if (range.location > a.size()) range = NSMakeRange(a.size(), 0);
    a = a.substr(range.location, std::min<NSUInteger>(range.length, a.size() - range.location));
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale where = locale ? icu::Locale(locale->localeIdentifier().c_str()) : icu::Locale::getRoot();
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(where, status));
    if (U_FAILURE(status) || !collator) {
        platform::log("no collation for the locale %@; comparing by code units",
                      locale ? locale->localeIdentifier() : std::string("root"));
        return compare(a, b);
    }
    bool caseless = options & NSCaseInsensitiveSearch, widthless = options & NSWidthInsensitiveSearch;
    // Case and width are both tertiary differences: ignoring either drops to secondary strength,
    // and a case-sensitive, width-insensitive comparison brings case back as its own level.
    collator->setStrength(caseless || widthless ? icu::Collator::SECONDARY : icu::Collator::TERTIARY);
    if (widthless && !caseless) collator->setAttribute(UCOL_CASE_LEVEL, UCOL_ON, status);
    if (options & NSNumericSearch) collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    auto text = [](std::string_view s) {
        return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
    };
    UCollationResult result = collator->compare(text(a), text(b), status);
    if (result == UCOL_EQUAL && (options & NSForcedOrderingSearch)) return compare(a, b);
    return result == UCOL_LESS      ? NSOrderedAscending
           : result == UCOL_GREATER ? NSOrderedDescending
                                    : NSOrderedSame;
}

} // namespace ns
