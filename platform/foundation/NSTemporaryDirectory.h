// The process's temporary folder.
#pragma once

#include <string>

namespace ns {

// $TMPDIR when it names an absolute folder, else "/tmp"; always with a trailing "/".
std::string NSTemporaryDirectory();

} // namespace ns
