#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clipboard.h"
#include "protocol/limits.h"

namespace tolvi {

// Two-way clipboard text exchange for one session. A watcher thread owns the platform
// clipboard; two rules keep the host's and the client's clipboards from bouncing a text back
// and forth: the change notification caused by our own write is skipped, and a text equal to
// the last one seen or written is never sent.
//
// Threads: the client thread calls start() and stop(), the receive thread set_text(); the
// watcher thread does all clipboard work and alone uses `last_text_` and
// `suppress_next_update_`. The methods are virtual so that tests of the host core can record
// the calls instead.
class ClipboardSync : private platform::ClipboardEvents {
 public:
  using TextCallback = std::function<void(const std::string& text)>;
  // Called on the watcher thread; null (or a null result) means no clipboard.
  using WatcherFactory = std::function<std::unique_ptr<platform::ClipboardWatcher>()>;

  // The longest text exchanged, in UTF-8 bytes, both ways: host texts of 1 to this many bytes
  // are sent (empty and longer ones are not), client texts longer than this are ignored.
  static constexpr std::size_t kMaxTextBytes = kMaxClipboardTextBytes;

  // How long start() waits for the watcher to be ready: a text the client sends as soon as its
  // session starts would otherwise arrive before the watcher and be lost.
  static constexpr std::chrono::milliseconds kReadyWait{2000};
  explicit ClipboardSync(WatcherFactory make_watcher,
                         std::chrono::milliseconds ready_wait = kReadyWait);
  ~ClipboardSync() override;
  ClipboardSync(const ClipboardSync&) = delete;
  ClipboardSync& operator=(const ClipboardSync&) = delete;

  // Starts the watcher thread and returns once the watcher runs (or has failed, or the ready
  // wait passed); `on_host_text` gets each new host text on that thread: first the text the
  // clipboard holds now, so that what was copied before the client came can be pasted there,
  // then each change, under the same size and repeat rules.
  virtual void start(TextCallback on_host_text);
  // The client's text for the host clipboard (up to its first NUL), with ill-formed UTF-8
  // replaced by U+FFFD. Dropped while the watcher is not (or no longer) running, and ignored
  // when longer than kMaxTextBytes (logged once).
  virtual void set_text(const std::string& text);
  // Ends the watcher and joins it; returns also when called right after start().
  virtual void stop();

 private:
  void watch();
  void settle();
  void on_clipboard_changed() override;
  void on_posted_text(const std::string& text) override;

  WatcherFactory make_watcher_;
  std::chrono::milliseconds ready_wait_;
  TextCallback on_host_text_;
  // Guards `watcher_` (set while its loop may run) and `stop_requested_`.
  std::mutex lock_;
  platform::ClipboardWatcher* watcher_ = nullptr;
  bool stop_requested_ = false;
  // Set once the watcher is published or will never be; start() waits for it.
  bool settled_ = false;
  // Set once a client text was too long, so that is logged once per session; under the lock.
  bool long_text_logged_ = false;
  std::condition_variable settled_changed_;
  std::string last_text_;
  bool suppress_next_update_ = false;
  std::thread thread_;
};

}  // namespace tolvi
