// What the archiver and the unarchiver share: the class registry and the refusal error.
#pragma once

#include "platform/foundation/NSKeyedArchiver.h"

namespace ns::detail {

std::optional<ArchiveClass> archiveClassNamed(std::string_view name);
std::optional<ArchiveClass> archiveClassOfType(std::type_index type);
// NSCocoaErrorDomain 4864.
platform::Error corruptArchiveError();

} // namespace ns::detail
