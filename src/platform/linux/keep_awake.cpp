// Keeping the machine awake on Linux, two requests that both end by themselves if we die:
// - the X screen saver (and DPMS power-down) is suspended for as long as the connection that
//   asked stays open;
// - a logind inhibitor lock for idle and sleep is held for as long as its descriptor is open.
#include "platform/keep_awake.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include <string>
#include <utility>

#include "platform/linux/logind_inhibitor.h"
#include "platform/linux/x11_connection.h"

namespace tolvi::platform {

namespace {

class LinuxKeepAwake : public KeepAwake {
 public:
  explicit LinuxKeepAwake(std::string display_name) : display_name_(std::move(display_name)) {}
  ~LinuxKeepAwake() override { end(); }

  // True when either request holds: a machine without logind (or without a display) is
  // still kept as awake as it can be.
  bool begin() override {
    const bool screen = suspend_screen_saver();
    std::string error;
    switch (inhibitor_.take(error)) {
      case LogindInhibitor::Result::kTaken:
        break;
      case LogindInhibitor::Result::kNoLogind:
        note_shortfall("no logind, sleep not inhibited");
        break;
      case LogindInhibitor::Result::kRefused:
        note_shortfall("logind refused the inhibitor lock (" + error + "), sleep not inhibited");
        break;
    }
    return screen || inhibitor_.held();
  }

  void end() override {
    inhibitor_.release();
    if (!connection_) return;
    if (!connection_->broken()) {
      XScreenSaverSuspend(connection_->display(), False);
      connection_->sync_errors();
    }
    connection_.reset();
  }

  std::string take_shortfall() override { return std::exchange(shortfall_, std::string()); }

 private:
  bool suspend_screen_saver() {
    if (connection_) return true;
    connection_ = X11Connection::open(display_name_);
    if (!connection_) return false;
    int event_base = 0, error_base = 0;
    if (!XScreenSaverQueryExtension(connection_->display(), &event_base, &error_base)) {
      connection_.reset();
      return false;
    }
    XScreenSaverSuspend(connection_->display(), True);
    if (connection_->sync_errors() != 0 || connection_->broken()) {
      connection_.reset();
      return false;
    }
    return true;
  }

  // Said once per object (one per host): the machine does not change between sessions.
  void note_shortfall(std::string text) {
    if (shortfall_noted_) return;
    shortfall_noted_ = true;
    shortfall_ = std::move(text);
  }

  std::string display_name_;
  std::unique_ptr<X11Connection> connection_;
  LogindInhibitor inhibitor_;
  bool shortfall_noted_ = false;
  std::string shortfall_;
};

}  // namespace

std::unique_ptr<KeepAwake> make_keep_awake(const std::string& display_name) {
  return std::make_unique<LinuxKeepAwake>(display_name);
}

}  // namespace tolvi::platform
