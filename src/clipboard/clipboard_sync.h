#pragma once
#include <functional>
#include <string>

namespace tolvi {

// Two-way clipboard text exchange for one session.
class ClipboardSync {
 public:
  using TextCallback = std::function<void(const std::string& text)>;
  virtual ~ClipboardSync() = default;
  // Starts watching; `on_local_text` is called (on the watcher's thread) with each new text.
  virtual void start(TextCallback on_local_text) = 0;
  // Puts the client's text on the local clipboard.
  virtual void set_text(const std::string& text) = 0;
  virtual void stop() = 0;
};

}  // namespace tolvi
