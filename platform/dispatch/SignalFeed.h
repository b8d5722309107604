// What feeds signal sources: a handler installed for the signal writes one byte per delivery
// into the pipe of each source watching it. Writing to a pipe is all it does, which is safe in
// signal context; the source's watcher thread reads the bytes and queues the event handler.
#pragma once

namespace dispatch::detail {

// Adds a pipe's write end (non-blocking) to the signal's feeds and installs the handler;
// false (logged) for a signal that cannot be caught or when the signal has too many sources.
bool addSignalFeed(int signo, int writeFd);
void removeSignalFeed(int signo, int writeFd);

} // namespace dispatch::detail
