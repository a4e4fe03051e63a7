#include "clipboard/clipboard_sync.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/log.h"
#include "base/thread_start.h"
#include "platform/text.h"

namespace tolvi {

namespace {

// Texts end at their first NUL, whichever side they come from.
std::string up_to_nul(const std::string& text) { return text.substr(0, text.find('\0')); }

}  // namespace

ClipboardSync::ClipboardSync(WatcherFactory make_watcher, std::chrono::milliseconds ready_wait)
    : make_watcher_(std::move(make_watcher)), ready_wait_(ready_wait) {}

ClipboardSync::~ClipboardSync() { ClipboardSync::stop(); }

void ClipboardSync::start(TextCallback on_host_text) {
  on_host_text_ = std::move(on_host_text);
  thread_ = start_thread([this] { watch(); });
  std::unique_lock<std::mutex> guard(lock_);
  settled_changed_.wait_for(guard, ready_wait_, [this] { return settled_; });
}

void ClipboardSync::set_text(const std::string& text) {
  const std::string_view received(text.data(), std::min(text.find('\0'), text.size()));
  // Replacing an ill-formed sequence never shortens a text, so one too long as received is
  // not converted at all.
  std::string valid;
  if (received.size() <= kMaxTextBytes) valid = to_utf8(to_utf16(received));
  std::lock_guard<std::mutex> guard(lock_);
  if (received.size() > kMaxTextBytes || valid.size() > kMaxTextBytes) {
    if (!long_text_logged_) {
      log_message("clipboard: a client text of more than %zu bytes is ignored", kMaxTextBytes);
    }
    long_text_logged_ = true;
    return;
  }
  if (watcher_) watcher_->post_text(std::move(valid));
}

void ClipboardSync::stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_requested_ = true;
    // A watcher made but not yet published sees the request before its loop starts.
    if (watcher_) watcher_->stop();
  }
  if (thread_.joinable()) thread_.join();
}

void ClipboardSync::settle() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    settled_ = true;
  }
  settled_changed_.notify_all();
}

void ClipboardSync::watch() {
  std::unique_ptr<platform::ClipboardWatcher> watcher = make_watcher_ ? make_watcher_() : nullptr;
  if (!watcher) {
    log_message("clipboard: cannot watch the clipboard");
    settle();
    return;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    settled_ = true;
    if (stop_requested_) {
      settled_changed_.notify_all();
      return;
    }
    // Texts posted from here on wait in the watcher's queue until its loop runs.
    watcher_ = watcher.get();
  }
  settled_changed_.notify_all();
  // The text copied before the session began goes first, as a change would (client texts
  // posted meanwhile wait for the loop, so they are applied after it and are not echoed).
  on_clipboard_changed();
  const bool ended_by_stop = watcher->run(*this);
  if (!ended_by_stop) log_message("clipboard: connection to the desktop lost");
  std::lock_guard<std::mutex> guard(lock_);
  watcher_ = nullptr;
}

void ClipboardSync::on_clipboard_changed() {
  if (suppress_next_update_) {
    // The echo of our own write.
    suppress_next_update_ = false;
    return;
  }
  // `watcher_` changes only on this thread, so it is read here without the lock.
  std::optional<std::string> text = watcher_->read_text();
  if (!text) return;
  *text = up_to_nul(*text);
  if (text->empty() || text->size() > kMaxTextBytes || *text == last_text_) return;
  last_text_ = std::move(*text);
  if (on_host_text_) on_host_text_(last_text_);
}

void ClipboardSync::on_posted_text(const std::string& text) {
  if (!watcher_->write_text(text)) return;
  suppress_next_update_ = true;
  last_text_ = text;
}

}  // namespace tolvi
