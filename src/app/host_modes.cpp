// The modes that run the host server on the calling thread.
#include "app/modes.h"
#include "core/host_server.h"
#include "input/input_desktop.h"
#include "platform/process.h"
#include "settings/log.h"

namespace tolvi {

int run_host_for_test() {
  // The server returns only when it could not start (self-test failed, port unavailable):
  // that is a failure, not the normal end of a test host.
  run_host_server();
  return 1;
}

int run_agent() {
  // Started by the service, the agent would also watch the service's quit signal; started by
  // hand (as `make run` does) it simply serves this session. Its main thread runs the host
  // server: attached to the input desktop first (the sign-in screen's when nobody is signed in).
  follow_input_desktop();
  log_message("agent running in session %lu", platform::console_session_id());
  run_host_server();
  return 1;
}

}  // namespace tolvi
