// Scripts: nothing is interpreted here. Executing one records it with platformd (event
// "applescript", field `source`) for tests and the event log to see, and answers success.
#pragma once

#include "platform/corefoundation/Value.h"

#include <string>

namespace ns {

class NSAppleScript {
  public:
    // initWithSource:
    explicit NSAppleScript(std::string source) : m_source(std::move(source)) {}
    const std::string& source() const { return m_source; }
    // executeAndReturnError: YES; errorInfo, when given, is left empty. Without platformd the
    // script is not recorded (logged) and still answers YES, as a script with no effect would.
    bool executeAndReturnError(cf::Dictionary* errorInfo = nullptr);

  private:
    std::string m_source;
};

} // namespace ns
