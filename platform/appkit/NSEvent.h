// NSEvent's class-side state the input code reads.
#pragma once

namespace appkit {

class NSEvent {
  public:
    // The global domain's "com.apple.mouse.doubleClickThreshold" when it is a positive number,
    // else 0.5 s.
    static double doubleClickInterval();
};

} // namespace appkit
