// oRTP, once per process: initialised on first use, its messages through the logging facade.
#pragma once

namespace net {

// Initialises oRTP (once) and routes its warnings and errors to platform::log.
void ensureRTPRuntime();

} // namespace net
