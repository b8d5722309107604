// Percent escapes for URL texts.
#pragma once

#include "platform/foundation/NSString.h"

#include <optional>
#include <string>
#include <string_view>

namespace ns {

// The text in the encoding with every byte of a character that is not legal in a URL written as
// "%XX" (upper-case digits). Legal are ASCII letters, digits and "-_.!~*'();/?:@&=+$,";
// characters of leaveUnescaped are never escaped, those of toEscape always (both sets are
// ASCII). Nothing for text that is not valid UTF-8 or does not fit the encoding.
std::optional<std::string> CFURLCreateStringByAddingPercentEscapes(std::string_view text,
                                                                   std::string_view leaveUnescaped,
                                                                   std::string_view toEscape,
                                                                   NSStringEncoding encoding);
std::optional<std::string> stringByAddingPercentEscapesUsingEncoding(std::string_view text,
                                                                     NSStringEncoding encoding);

} // namespace ns
