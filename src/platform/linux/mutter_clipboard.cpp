// The clipboard on GNOME/Wayland through mutter's remote-desktop session: the session offers
// the client's text with SetSelection and hands it over through a pipe for each paste
// (SelectionTransfer -> SelectionWrite -> SelectionWriteDone); another program's copy is
// announced by SelectionOwnerChanged and read through a pipe from SelectionRead. The signals
// arrive on the link's bus thread and are queued here for the watcher's own loop.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clipboard.h"
#include "platform/linux/mutter_backends.h"
#include "platform/linux/mutter_remote_desktop.h"

namespace tolvi::platform {
namespace {

constexpr const char* kTextType = "text/plain;charset=utf-8";
// Another program's text is read up to this size; a larger one is not taken.
constexpr std::size_t kMaxReadBytes = 64u * 1024 * 1024;
// Longest wait for another program to give its text (and for a paster to take ours).
constexpr int kPipeTimeoutMs = 2000;

// Writes all of `text` into the pipe; false when the reader went away or stalled.
bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    pollfd wait{fd, POLLOUT, 0};
    if (poll(&wait, 1, kPipeTimeoutMs) <= 0) return false;
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// Reads the pipe to its end; nothing when the writer stalled or the text is too large.
std::optional<std::string> read_all(int fd) {
  std::string text;
  char chunk[65536];
  for (;;) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, kPipeTimeoutMs) <= 0) return std::nullopt;
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return text;
    text.append(chunk, static_cast<std::size_t>(got));
    if (text.size() > kMaxReadBytes) return std::nullopt;
  }
}

class MutterClipboardWatcher : public ClipboardWatcher, public MutterSelectionListener {
 public:
  explicit MutterClipboardWatcher(std::shared_ptr<MutterRemoteDesktop> link)
      : link_(std::move(link)) {}
  // The link must not call a listener that is gone.
  ~MutterClipboardWatcher() override { link_->disable_clipboard(this); }

  bool run(ClipboardEvents& events) override {
    // The clipboard belongs to a remote-desktop session: one is started if the capture has not
    // started it yet (a session may exchange texts without a stream). Without one now, the
    // clipboard is turned on with the session that comes later.
    std::string error;
    link_->stream(error);
    link_->enable_clipboard(this);
    std::unique_lock<std::mutex> guard(lock_);
    while (!stopping_) {
      changed_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
      while (!stopping_ && !queue_.empty()) {
        Item item = std::move(queue_.front());
        queue_.pop_front();
        guard.unlock();
        switch (item.kind) {
          case Item::Kind::kChanged:
            offered_text_ = item.has_text;
            events.on_clipboard_changed();
            break;
          case Item::Kind::kOwnChange:
            events.on_clipboard_changed();
            break;
          case Item::Kind::kPosted:
            events.on_posted_text(item.text);
            break;
          case Item::Kind::kTransfer:
            answer_transfer(item.serial);
            break;
        }
        guard.lock();
      }
    }
    guard.unlock();
    link_->disable_clipboard(this);
    return true;
  }

  bool post_text(std::string text) override {
    push({Item::Kind::kPosted, std::move(text)});
    return true;
  }

  void stop() override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    changed_.notify_all();
  }

  std::optional<std::string> read_text() override {
    if (!offered_text_) return std::nullopt;
    UniqueFd pipe = link_->selection_read(kTextType);
    if (!pipe.valid()) return std::nullopt;
    std::optional<std::string> text = read_all(pipe.get());
    if (text) text->resize(text->find('\0') == std::string::npos ? text->size() : text->find('\0'));
    return text;
  }

  bool write_text(const std::string& text) override {
    own_text_ = text;
    if (!link_->set_selection({kTextType})) return false;
    // The change notification of our own write (mutter's owner signal for it is not counted:
    // it may or may not come).
    push({Item::Kind::kOwnChange, {}});
    return true;
  }

  // The link's bus thread.
  void on_selection_owner_changed(bool has_text, bool ours) override {
    if (ours) return;
    Item item{Item::Kind::kChanged, {}};
    item.has_text = has_text;
    push(std::move(item));
  }
  void on_selection_transfer(const std::string& mime_type, std::uint32_t serial) override {
    Item item{Item::Kind::kTransfer, mime_type};
    item.serial = serial;
    push(std::move(item));
  }

 private:
  struct Item {
    enum class Kind { kChanged, kOwnChange, kPosted, kTransfer };
    Kind kind;
    std::string text;
    bool has_text = false;
    std::uint32_t serial = 0;
  };

  void push(Item item) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      queue_.push_back(std::move(item));
    }
    changed_.notify_all();
  }

  // A program pastes what we offered: our text, whatever text type it asked for.
  void answer_transfer(std::uint32_t serial) {
    UniqueFd pipe = link_->selection_write(serial);
    if (!pipe.valid()) return;
    const bool written = write_all(pipe.get(), own_text_);
    pipe.reset();
    link_->selection_write_done(serial, written);
  }

  std::shared_ptr<MutterRemoteDesktop> link_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Item> queue_;
  bool stopping_ = false;
  // Loop thread only.
  bool offered_text_ = false;  // the current owner offers text
  std::string own_text_;       // what this session offers
};

}  // namespace

std::unique_ptr<ClipboardWatcher> make_mutter_clipboard_watcher() {
  std::shared_ptr<MutterRemoteDesktop> link = MutterRemoteDesktop::shared();
  if (!link) return nullptr;
  return std::make_unique<MutterClipboardWatcher>(std::move(link));
}

}  // namespace tolvi::platform
