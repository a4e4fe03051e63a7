// Keeping the display awake on X11: the screen saver (and DPMS power-down) is suspended for as
// long as the connection that asked stays open, so the server ends it even if we die.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include "platform/keep_awake.h"
#include "platform/linux/x11_connection.h"

namespace tolvi::platform {

namespace {

class X11KeepAwake : public KeepAwake {
 public:
  explicit X11KeepAwake(std::string display_name) : display_name_(std::move(display_name)) {}
  ~X11KeepAwake() override { end(); }

  bool begin() override {
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

  void end() override {
    if (!connection_) return;
    if (!connection_->broken()) {
      XScreenSaverSuspend(connection_->display(), False);
      connection_->sync_errors();
    }
    connection_.reset();
  }

 private:
  std::string display_name_;
  std::unique_ptr<X11Connection> connection_;
};

}  // namespace

std::unique_ptr<KeepAwake> make_keep_awake(const std::string& display_name) {
  return std::make_unique<X11KeepAwake>(display_name);
}

}  // namespace tolvi::platform
