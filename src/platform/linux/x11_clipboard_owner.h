#pragma once
#include <X11/Xlib.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/x11_clipboard_window.h"
#include "platform/linux/x11_connection.h"

namespace tolvi::platform {

// Our side of the CLIPBOARD selection while it holds the client's text: takes ownership at a
// server time, answers other programs' requests (TARGETS, UTF8_STRING, STRING, TEXT), sending
// texts larger than one request in INCR chunks as each requestor asks for the next, and gives
// the selection up again. Used on the clipboard loop's thread only.
class X11SelectionOwner {
 public:
  X11SelectionOwner(X11Connection& connection, const ClipboardWindow& window);

  // Owns the selection with `text` from server time `time` on; false when the server gave it
  // to someone else.
  bool take(const std::string& text, Time time);
  // Gives the selection up, when it is still ours.
  void give_up();
  // Another program owns the selection now.
  void lost() { owned_ = false; }
  bool owned() const { return owned_; }
  const std::string& text() const { return *text_; }

  // Answers another program's request for our text.
  void serve(const XSelectionRequestEvent& request);
  // A requestor took a chunk (deleted its property): the next follows.
  void property_deleted(Window requestor, Atom property);
  // A requestor's window is gone, and with it its transfers.
  void window_destroyed(Window requestor);
  // Gives up transfers whose requestor stopped taking chunks.
  void expire_transfers();
  bool transferring() const { return !transfers_.empty(); }

 private:
  using SteadyClock = std::chrono::steady_clock;

  // One of our texts going to a requestor in INCR chunks.
  struct Transfer {
    Window requestor;
    Atom property;
    Atom type;
    std::shared_ptr<const std::string> data;
    std::size_t offset = 0;
    bool finished = false;  // the closing empty chunk is written
    SteadyClock::time_point last_activity;
  };

  void send_text(Window requestor, Atom property, Atom type,
                 std::shared_ptr<const std::string> data);

  X11Connection& x_;
  const ClipboardWindow& window_;
  std::size_t chunk_bytes_;
  bool owned_ = false;
  Time owned_since_ = CurrentTime;
  std::shared_ptr<const std::string> text_ = std::make_shared<const std::string>();
  std::vector<Transfer> transfers_;
};

}  // namespace tolvi::platform
