#pragma once
// SIGTERM, SIGINT and SIGHUP as events of the main run loop: a handler only
// writes the signal's number to a pipe (all it may do), and a thread of its
// own reads the pipe and queues the callback on the main loop, where the
// application can keep what has to be kept before it ends.

#include <functional>

namespace platform {

// Installs the handlers (once; later calls only replace the callback). The
// callback runs on the main thread with the signal's number, once per signal
// received. Launched programs get the default handling back, as exec does.
void handleTerminationSignals(std::function<void(int signal)> onSignal);
// "SIGTERM", "SIGINT", "SIGHUP" or "señal N".
const char* signalName(int signal);

}  // namespace platform
