// The clipboard of a session on a private Xvfb, exchanged with other X programs: xclip, and
// a second watcher of our own (which serves and reads large texts in INCR chunks).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "clipboard/clipboard_sync.h"
#include "platform/clipboard.h"
#include "support/xvfb_server.h"

namespace tolvi {
namespace {

constexpr auto kWait = std::chrono::seconds(20);

// One session's clipboard on `display`, recording the texts it would send to the client.
class Session {
 public:
  explicit Session(const std::string& display)
      : sync_([display] { return platform::make_clipboard_watcher(display); }) {
    sync_.start([this](const std::string& text) {
      std::lock_guard<std::mutex> guard(lock_);
      sent_.push_back(text);
      changed_.notify_all();
    });
  }
  ClipboardSync& sync() { return sync_; }
  // Waits for the next sent text, passing over the start-up markers of wait_ready; nothing
  // after the wait limit.
  std::optional<std::string> next() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      if (!changed_.wait_for(guard, kWait, [&] { return taken_ < sent_.size(); })) return {};
      const std::string& text = sent_[taken_++];
      if (text.rfind("ready-", 0) != 0) return text;
    }
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> sent_;
  std::size_t taken_ = 0;
  ClipboardSync sync_;
};

class X11ClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (server_.display().empty()) GTEST_SKIP() << "Xvfb could not be started";
    if (std::system("command -v xclip >/dev/null") != 0) GTEST_SKIP() << "xclip is missing";
  }

  // Another program copies `bytes` offered as `target` (xclip stays as the owner).
  void copy(const std::string& bytes, const std::string& target = "UTF8_STRING") {
    // One file per test process: suites run in parallel and share the temporary folder.
    const std::string file = ::testing::TempDir() + "clipboard-in-" + std::to_string(getpid());
    std::ofstream(file, std::ios::binary) << bytes;
    const std::string command = "xclip -display " + server_.display() +
                                " -selection clipboard -t " + target + " -i " + file;
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  // What another program pastes; nothing when the selection has no owner or no text.
  std::optional<std::string> paste() {
    const std::string command =
        "xclip -display " + server_.display() + " -selection clipboard -o 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[65536];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    if (pclose(pipe) != 0) return std::nullopt;
    return out;
  }
  // Pastes until the clipboard holds `expected` (a posted text is applied asynchronously).
  bool paste_becomes(const std::string& expected) {
    const auto until = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < until) {
      if (paste() == expected) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // Texts given before the watcher runs are dropped: gives a marker until it arrives.
  bool wait_ready(Session& session, const std::string& marker = "ready-1") {
    const auto until = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < until) {
      session.sync().set_text(marker);
      if (paste() == marker) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string big(std::size_t bytes) {
    std::string text(bytes, 'x');
    for (std::size_t i = 0; i < bytes; ++i) text[i] = static_cast<char>('a' + i % 26);
    return text;
  }

  testing::XvfbServer server_{"640x480x24"};
};

TEST_F(X11ClipboardTest, TextsGoBothWaysWithoutEcho) {
  Session session(server_.display());
  ASSERT_TRUE(wait_ready(session));
  copy("hello");
  EXPECT_EQ(session.next(), "hello");

  session.sync().set_text("abc");
  EXPECT_TRUE(paste_becomes("abc"));
  // A second text while we already own the selection still has its notification skipped
  // exactly once, and the client's text is cut at its NUL.
  session.sync().set_text(std::string("de\0f", 4));
  EXPECT_TRUE(paste_becomes("de"));
  // The next thing sent is the next copy: nothing of the client's came back.
  copy("after");
  EXPECT_EQ(session.next(), "after");
  copy(std::string("x\0y", 3));
  EXPECT_EQ(session.next(), "x");
}

TEST_F(X11ClipboardTest, StringOnlyOwnersAreReadAndImagesAreNot) {
  Session session(server_.display());
  ASSERT_TRUE(wait_ready(session));
  copy("\x89PNG not really", "image/png");
  copy("caf\xE9", "STRING");
  EXPECT_EQ(session.next(), "caf\xC3\xA9");
}

TEST_F(X11ClipboardTest, LargestTextGoesBothWaysInChunksAndOneByteMoreDoesNot) {
  Session host(server_.display());
  Session other(server_.display());
  ASSERT_TRUE(wait_ready(other, "ready-other"));
  ASSERT_TRUE(wait_ready(host, "ready-host"));
  host.sync().set_text("go");
  EXPECT_TRUE(paste_becomes("go"));
  EXPECT_EQ(other.next(), "go");

  // Our owner serves 1 MiB in INCR chunks, to xclip and to the other watcher.
  const std::string longest = big(ClipboardSync::kMaxTextBytes);
  host.sync().set_text(longest);
  EXPECT_TRUE(paste_becomes(longest));
  EXPECT_EQ(other.next(), longest);
  // And the other way: read in INCR chunks from another owner (a client text one byte longer
  // would be ignored, so the other watcher offers another text of the same length).
  const std::string other_longest = "!" + longest.substr(1);
  other.sync().set_text(other_longest);
  EXPECT_TRUE(paste_becomes(other_longest));
  EXPECT_EQ(host.next(), other_longest);
  copy(big(ClipboardSync::kMaxTextBytes + 1));
  copy("small");
  EXPECT_EQ(host.next(), "small");
  // Both saw xclip's 1,048,576-byte text: neither sent it.
  EXPECT_EQ(other.next(), "small");
}

TEST_F(X11ClipboardTest, StopGivesTheSelectionUp) {
  Session session(server_.display());
  ASSERT_TRUE(wait_ready(session));
  session.sync().stop();
  EXPECT_EQ(paste(), std::nullopt);
}

TEST_F(X11ClipboardTest, LostDisplayEndsTheWatcherAndStopReturns) {
  Session session(server_.display());
  ASSERT_TRUE(wait_ready(session));
  server_.stop();
  session.sync().set_text("after the server went away");
  session.sync().stop();
}

}  // namespace
}  // namespace tolvi
