// SIGTERM and SIGINT are blocked and taken with sigwait on one thread, so the stop runs as
// ordinary code (locks, logging, joins) instead of inside a signal handler.
#include "platform/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace tolvi::platform {

void watch_stop_signals(std::function<void(int)> on_stop) {
  sigset_t stop_set;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGTERM);
  sigaddset(&stop_set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
  std::thread([stop_set, on_stop = std::move(on_stop)] {
    int signal_number = 0;
    while (sigwait(&stop_set, &signal_number) != 0) {
    }
    on_stop(signal_number);
    // Later stop signals stay blocked and pending: the first one is being honoured.
  }).detach();
}

}  // namespace tolvi::platform
