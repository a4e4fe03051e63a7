#include <X11/Xlib.h>

#include "platform/process.h"

namespace tolvi::platform {

// libX11 1.8 and later already do this when the library is loaded; older ones, still shipped
// by some distributions, do not, and there it must come before any other Xlib call.
void prepare_process_start() { XInitThreads(); }

// Nothing to prepare: X11, FFmpeg and POSIX sockets need no process-wide start-up, and sleeps
// are already honoured to well under a millisecond.
void prepare_host_process() {}

}  // namespace tolvi::platform
