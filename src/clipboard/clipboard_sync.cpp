#include "clipboard/clipboard_sync.h"

#include <utility>

#include "base/thread_start.h"
#include "base/log.h"

namespace tolvi {

namespace {

// Texts end at their first NUL, whichever side they come from.
std::string up_to_nul(const std::string& text) { return text.substr(0, text.find('\0')); }

}  // namespace

ClipboardSync::ClipboardSync(WatcherFactory make_watcher)
    : make_watcher_(std::move(make_watcher)) {}

ClipboardSync::~ClipboardSync() { ClipboardSync::stop(); }

void ClipboardSync::start(TextCallback on_host_text) {
  on_host_text_ = std::move(on_host_text);
  thread_ = start_thread([this] { watch(); });
}

void ClipboardSync::set_text(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  if (watcher_) watcher_->post_text(up_to_nul(text));
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

void ClipboardSync::watch() {
  std::unique_ptr<platform::ClipboardWatcher> watcher = make_watcher_ ? make_watcher_() : nullptr;
  if (!watcher) {
    log_message("clipboard: cannot watch the clipboard");
    return;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stop_requested_) return;
    watcher_ = watcher.get();
  }
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
