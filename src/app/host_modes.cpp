// The modes that run the host server on the calling thread.
#include "app/default_host_environment.h"
#include "app/modes.h"
#include "base/log.h"
#include "core/host_server.h"
#include "platform/process.h"

namespace tolvi {

int run_host_for_test() {
  // The server returns only when it could not start (self-test failed, port unavailable):
  // that is a failure, not the normal end of a test host.
  run_host_server(make_default_host_environment());
  return 1;
}

int run_agent() {
  // Started by the service, the agent would also watch the service's quit signal and follow
  // the input desktop; started by hand (as `make run` does) it simply serves this session.
  log_message("agent running in session %lu", platform::console_session_id());
  run_host_server(make_default_host_environment());
  return 1;
}

}  // namespace tolvi
