#include <X11/Xlib.h>

#include "platform/process.h"

namespace tolvi::platform {

void prepare_process_start() { XInitThreads(); }

// Nothing to prepare: X11, FFmpeg and POSIX sockets need no process-wide start-up, and sleeps
// are already honoured to well under a millisecond.
void prepare_host_process() {}

}  // namespace tolvi::platform
