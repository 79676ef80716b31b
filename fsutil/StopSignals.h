#pragma once
// SIGINT and SIGTERM ask the running operation to stop: every copy and write then fails, so the operation
// unwinds and removes what it made; a second signal ends the program at once.
#include <csignal>

namespace fsutil {

// Installs the handlers; `onStop` (optional) is also called from the handler and must be async-signal-safe.
void stopOnSignals(void (*onStop)() = nullptr);
// The signal that asked for the stop, 0 when none came.
int stopSignal();

} // namespace fsutil
