#pragma once

#include <string>

namespace quorlane {

// SIGHUP, SIGINT and SIGTERM are only recorded, without automatic restart of
// interrupted calls: a run acts on them between its steps and after each
// outside command, so that no step is cut off half-way.
void installTerminationHandlers();

// The termination signal recorded since the handlers were installed, or 0.
int caughtSignal();

// How a run record names the signal: "SIGHUP (terminal disconnect)",
// "SIGINT (Ctrl-C)", "SIGTERM", or "signal N".
std::string signalReason(int signo);

}  // namespace quorlane
