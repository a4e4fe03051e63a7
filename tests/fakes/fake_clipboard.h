#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboard.h"

namespace tolvi::testing {

// A host clipboard in memory with the watcher over it. What "other programs" do goes through
// the board (copy, copy_image); each change queues one notification for the running watcher,
// as the system does for our own writes too. wait_idle() returns once the watcher has handled
// everything queued so far, so tests need no sleeping.
class FakeClipboard {
 public:
  void copy(const std::string& text) { change(text); }
  // Something that is not text (an image, a file list).
  void copy_image() { change(std::nullopt); }
  // Content without a notification, as before the session started.
  void preset(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    content_ = text;
  }
  void set_busy(bool busy) {
    std::lock_guard<std::mutex> guard(lock_);
    busy_ = busy;
  }
  // How a written text is stored (a real clipboard may convert it, e.g. invalid UTF-8).
  void set_stored_as(std::function<std::string(const std::string&)> stored_as) {
    std::lock_guard<std::mutex> guard(lock_);
    stored_as_ = std::move(stored_as);
  }
  std::optional<std::string> content() {
    std::lock_guard<std::mutex> guard(lock_);
    return content_;
  }
  void wait_running() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return running_; });
  }
  void wait_idle() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return queue_.empty() && !handling_; });
  }

  std::unique_ptr<platform::ClipboardWatcher> make_watcher() {
    return std::make_unique<Watcher>(*this);
  }

 private:
  struct Item {
    bool changed;  // else a posted text
    std::string text;
  };

  class Watcher : public platform::ClipboardWatcher {
   public:
    explicit Watcher(FakeClipboard& board) : board_(board) {}
    bool run(platform::ClipboardEvents& events) override {
      std::unique_lock<std::mutex> guard(board_.lock_);
      board_.running_ = true;
      board_.changed_.notify_all();
      for (;;) {
        board_.changed_.wait(guard, [&] { return stop_ || !board_.queue_.empty(); });
        if (stop_) break;
        Item item = std::move(board_.queue_.front());
        board_.queue_.pop_front();
        board_.handling_ = true;
        guard.unlock();
        if (item.changed) {
          events.on_clipboard_changed();
        } else {
          events.on_posted_text(item.text);
        }
        guard.lock();
        board_.handling_ = false;
        board_.changed_.notify_all();
      }
      board_.running_ = false;
      return true;
    }
    bool post_text(std::string text) override {
      std::lock_guard<std::mutex> guard(board_.lock_);
      board_.queue_.push_back({false, std::move(text)});
      board_.changed_.notify_all();
      return true;
    }
    void stop() override {
      std::lock_guard<std::mutex> guard(board_.lock_);
      stop_ = true;
      board_.changed_.notify_all();
    }
    std::optional<std::string> read_text() override {
      std::lock_guard<std::mutex> guard(board_.lock_);
      if (board_.busy_) return std::nullopt;
      return board_.content_;
    }
    bool write_text(const std::string& text) override {
      std::lock_guard<std::mutex> guard(board_.lock_);
      if (board_.busy_) return false;
      board_.content_ = board_.stored_as_ ? board_.stored_as_(text) : text;
      board_.queue_.push_back({true, {}});
      return true;
    }

   private:
    FakeClipboard& board_;
    bool stop_ = false;  // under the board's lock
  };

  void change(std::optional<std::string> content) {
    std::lock_guard<std::mutex> guard(lock_);
    content_ = std::move(content);
    queue_.push_back({true, {}});
    changed_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Item> queue_;
  std::optional<std::string> content_;
  std::function<std::string(const std::string&)> stored_as_;
  bool busy_ = false;
  bool running_ = false;
  bool handling_ = false;
};

}  // namespace tolvi::testing
