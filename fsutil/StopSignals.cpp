#include "fsutil/StopSignals.h"

#include "fsutil/Io.h"

namespace fsutil {
namespace {
volatile std::sig_atomic_t caught = 0;
void (*stopHook)() = nullptr;

extern "C" void handleStop(int signal) {
    caught = signal;
    io::requestStop();
    if (stopHook) stopHook();
    std::signal(signal, SIG_DFL);
}
} // namespace

void stopOnSignals(void (*onStop)()) {
    stopHook = onStop;
    std::signal(SIGINT, handleStop);
    std::signal(SIGTERM, handleStop);
}

int stopSignal() {
    return caught;
}

} // namespace fsutil
