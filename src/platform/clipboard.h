#pragma once
#include <memory>
#include <optional>
#include <string>

namespace tolvi::platform {

// What a clipboard watcher reports; called on the thread that runs the watcher's loop.
class ClipboardEvents {
 public:
  virtual ~ClipboardEvents() = default;
  // The clipboard's content changed, by another program or by our own write_text.
  virtual void on_clipboard_changed() = 0;
  // A text given to post_text, now on the loop's thread.
  virtual void on_posted_text(const std::string& text) = 0;
};

// The session desktop's clipboard, watched for changes: a hidden message-only window on
// Windows, the owner window of the CLIPBOARD selection on X11. Made, run and destroyed on one
// thread; only post_text and stop may be called from others.
class ClipboardWatcher {
 public:
  virtual ~ClipboardWatcher() = default;

  // Delivers change notifications and posted texts to `events` until stop() (also one made
  // before run() started): true. False as soon as the desktop's connection is lost.
  virtual bool run(ClipboardEvents& events) = 0;
  // Any thread: hands `text` to the loop (on_posted_text). False when it cannot be queued.
  virtual bool post_text(std::string text) = 0;
  // Any thread: ends run() soon. Idempotent.
  virtual void stop() = 0;

  // Loop thread only, from within an event. The current text (ending at its first NUL), or
  // nothing when the clipboard is busy or holds no text.
  virtual std::optional<std::string> read_text() = 0;
  // Loop thread only. Replaces the content with `text`; true when the clipboard was changed
  // (then one change notification follows, even if only the emptying took effect).
  virtual bool write_text(const std::string& text) = 0;
};

// The clipboard of `display_name` (the X display on Linux, "" for $DISPLAY; ignored on
// Windows). Call on the thread that will run it. Null when it cannot be set up.
std::unique_ptr<ClipboardWatcher> make_clipboard_watcher(const std::string& display_name);

}  // namespace tolvi::platform
