// Structural checks run before libplist parses untrusted bytes, so that its recursive readers
// never meet input nested deeper than kMaxPropertyListDepth, cyclic, or expanding past
// kMaxPropertyListNodes values (private to this folder).
#pragma once

#include <string_view>

namespace cf::detail {

// Array and dict elements nest at most kMaxPropertyListDepth deep (comments, CDATA and
// processing instructions skipped).
bool xmlWithinBounds(std::string_view xml);
// A sound trailer and offset table, every container's references in range, no cycle, depth at
// most kMaxPropertyListDepth and at most kMaxPropertyListNodes values once shared objects are
// counted at each use.
bool binaryWithinBounds(std::string_view bplist);

} // namespace cf::detail
