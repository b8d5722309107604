// A formatted line on standard error, written only when its category flag is set.
#pragma once

#include "platform/core/Format.h"

#include <string_view>

namespace foundation {

void QNBCategoryLogWrite(std::string_view text);

// With a zero flag nothing is formatted, so a disabled category costs only the test.
template <typename... Args> void QNBCategoryLog(int flag, std::string_view format, const Args&... args) {
    if (flag == 0) return;
    QNBCategoryLogWrite(platform::format(format, args...));
}

} // namespace foundation
