#include "clipboard/clipboard_sync.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_clipboard.h"

namespace tolvi {
namespace {

using testing::FakeClipboard;

// A session's clipboard over the fake board, recording what it would send to the client.
class ClipboardSyncTest : public ::testing::Test {
 protected:
  void start() {
    sync_.start([this](const std::string& text) {
      std::lock_guard<std::mutex> guard(sent_lock_);
      sent_.push_back(text);
    });
    board_.wait_running();
  }
  std::vector<std::string> sent() {
    std::lock_guard<std::mutex> guard(sent_lock_);
    return sent_;
  }

  FakeClipboard board_;
  ClipboardSync sync_{[this] { return board_.make_watcher(); }};
  std::mutex sent_lock_;
  std::vector<std::string> sent_;
};

TEST_F(ClipboardSyncTest, HostTextIsSentOnceAndRepeatsAreNot) {
  start();
  board_.copy("hello");
  board_.wait_idle();
  board_.copy("hello");
  board_.copy_image();
  board_.wait_idle();
  EXPECT_EQ(sent(), std::vector<std::string>{"hello"});
}

// Text copied before the client came is sent once at the start; copying it again is a repeat.
TEST_F(ClipboardSyncTest, ContentFromBeforeTheSessionIsSentOnceAtTheStart) {
  board_.preset("old");
  start();
  board_.copy("old");
  board_.wait_idle();
  EXPECT_EQ(sent(), std::vector<std::string>{"old"});
}

TEST_F(ClipboardSyncTest, NoTextOrAnOverlongOneBeforeTheSessionSendsNothing) {
  for (const std::optional<std::string>& before :
       {std::optional<std::string>{}, std::optional<std::string>{""},
        std::optional<std::string>{std::string(ClipboardSync::kMaxTextBytes + 1, 'x')}}) {
    FakeClipboard board;
    if (before) board.preset(*before);
    std::vector<std::string> sent;
    ClipboardSync sync([&board] { return board.make_watcher(); });
    sync.start([&sent](const std::string& text) { sent.push_back(text); });
    board.wait_running();
    board.wait_idle();
    sync.stop();
    EXPECT_TRUE(sent.empty()) << (before ? before->size() : 0);
  }
}

TEST_F(ClipboardSyncTest, ClientTextIsAppliedAndNeverEchoed) {
  start();
  sync_.set_text("abc");
  board_.wait_idle();
  EXPECT_EQ(board_.content(), "abc");
  // The host later reports the same text: still the client's own.
  board_.copy("abc");
  board_.wait_idle();
  EXPECT_TRUE(sent().empty());
  board_.copy("xyz");
  board_.wait_idle();
  EXPECT_EQ(sent(), std::vector<std::string>{"xyz"});
}

// The clipboard keeps a converted form of the client's text (invalid UTF-8 becomes U+FFFD):
// only skipping the notification of our own write keeps it from going back.
TEST_F(ClipboardSyncTest, NotificationOfOwnWriteIsSkippedEvenWhenTheTextWasConverted) {
  board_.set_stored_as([](const std::string&) { return std::string("\xEF\xBF\xBD"); });
  start();
  sync_.set_text("\xFF");
  board_.wait_idle();
  EXPECT_EQ(board_.content(), "\xEF\xBF\xBD");
  EXPECT_TRUE(sent().empty());
}

TEST_F(ClipboardSyncTest, ClientTextEndsAtItsFirstNul) {
  struct Case {
    std::string client;
    std::string on_clipboard;
  };
  const Case cases[] = {{"", ""}, {std::string("ab\0cd", 5), "ab"}, {"x", "x"}};
  start();
  for (const Case& c : cases) {
    sync_.set_text(c.client);
    board_.wait_idle();
    EXPECT_EQ(board_.content(), c.on_clipboard) << c.client.size();
  }
  EXPECT_TRUE(sent().empty());
}

TEST_F(ClipboardSyncTest, HostTextsOutsideOneToMaxBytesAreNotSent) {
  struct Case {
    std::string host;
    bool sent;
    std::string as;
  };
  const std::string longest(ClipboardSync::kMaxTextBytes, 'a');
  const Case cases[] = {
      {"", false, ""},
      {longest, true, longest},
      {longest + "b", false, ""},
      {std::string("\0hidden", 7), false, ""},
      {std::string("x\0y", 3), true, "x"},
  };
  start();
  for (const Case& c : cases) {
    board_.copy(c.host);
    board_.wait_idle();
    const std::vector<std::string> got = sent();
    if (c.sent) {
      ASSERT_FALSE(got.empty());
      EXPECT_EQ(got.back(), c.as);
    }
    EXPECT_EQ(got.size(), c.sent ? 1u : 0u) << c.host.size();
    std::lock_guard<std::mutex> guard(sent_lock_);
    sent_.clear();
  }
}

// Client texts get the same bound as host texts: up to kMaxTextBytes as offered (after
// replacement, which can only lengthen a text), measured up to the first NUL. The first text
// too long is logged, later ones not.
TEST_F(ClipboardSyncTest, ClientTextsLongerThanMaxBytesAreIgnoredAndLoggedOnce) {
  struct Case {
    const char* what;
    std::string client;
    bool applied;
  };
  const std::string longest(ClipboardSync::kMaxTextBytes, 'a');
  const Case cases[] = {
      {"the longest", longest, true},
      {"one byte more", longest + "b", false},
      {"sixteen times as long", std::string(16 * ClipboardSync::kMaxTextBytes, 'c'), false},
      {"longest before a NUL", longest.substr(1) + std::string("d\0tail", 6), true},
      {"a replacement makes it too long", longest.substr(1) + "\xFF", false},
  };
  start();
  ::testing::internal::CaptureStderr();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sync_.set_text("before");
    sync_.set_text(c.client);
    board_.wait_idle();
    const std::string on_board = board_.content().value_or("");
    EXPECT_EQ(on_board.size(), c.applied ? ClipboardSync::kMaxTextBytes : 6u);
  }
  const std::string log = ::testing::internal::GetCapturedStderr();
  const std::string line = "a client text of more than 1048575 bytes is ignored";
  ASSERT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line), log.rfind(line));
  EXPECT_TRUE(sent().empty());
}

// Every ill-formed sequence becomes U+FFFD before the host clipboard is offered the text, so a
// platform that takes UTF-8 as it is never holds invalid text.
TEST_F(ClipboardSyncTest, IllFormedClientUtf8BecomesReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    const char* what;
    std::string client;
    std::string on_clipboard;
    // How many U+FFFD stand for an ill-formed sequence of several bytes is the system
    // converter's choice (one per byte on Windows, one per maximal part elsewhere): for these,
    // only replacements and at least one.
    bool any_number_of_replacements = false;
  };
  const Case cases[] = {
      {"valid text unchanged", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"lone continuation",
       "a\x80"
       "b",
       "a" + r + "b"},
      {"invalid lead bytes", "\xFF\xFE", r + r},
      {"truncated sequence inside", "\xE2\x82x", r + "x"},
      {"truncated sequence at the end", "ab\xF0\x9F\x98", "ab" + r},
      {"overlong slash", "\xC0\xAF", r + r},
      {"overlong three bytes", "\xE0\x80\xAF", "", true},
      {"encoded surrogate", "\xED\xA0\x80", "", true},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "", true},
  };
  start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sync_.set_text(c.client);
    board_.wait_idle();
    const std::string on_board = board_.content().value_or("");
    if (c.any_number_of_replacements) {
      ASSERT_FALSE(on_board.empty());
      ASSERT_EQ(on_board.size() % r.size(), 0u) << on_board;
      for (std::size_t at = 0; at < on_board.size(); at += r.size()) {
        EXPECT_EQ(on_board.substr(at, r.size()), r) << on_board;
      }
    } else {
      EXPECT_EQ(on_board, c.on_clipboard);
    }
  }
  EXPECT_TRUE(sent().empty());
}

// A write that could not reach the clipboard causes no notification, so nothing may be
// skipped for it: the next real change is sent.
TEST_F(ClipboardSyncTest, FailedWriteSuppressesNothing) {
  start();
  board_.set_busy(true);
  sync_.set_text("abc");
  board_.wait_idle();
  board_.set_busy(false);
  board_.copy("abc");
  board_.wait_idle();
  EXPECT_EQ(sent(), std::vector<std::string>{"abc"});
}

TEST(ClipboardSync, TextBeforeTheWatcherRunsIsDropped) {
  FakeClipboard board;
  std::mutex lock;
  std::condition_variable released_cv;
  bool released = false;
  // No ready wait: the watcher is still being made when the text comes.
  ClipboardSync sync(
      [&] {
        std::unique_lock<std::mutex> guard(lock);
        released_cv.wait(guard, [&] { return released; });
        return board.make_watcher();
      },
      std::chrono::milliseconds(0));
  sync.start([](const std::string&) {});
  sync.set_text("early");
  {
    std::lock_guard<std::mutex> guard(lock);
    released = true;
  }
  released_cv.notify_all();
  board.wait_running();
  board.wait_idle();
  EXPECT_EQ(board.content(), std::nullopt);
  sync.stop();
}

// A client that sends its clipboard as soon as it is authenticated: start() returns only once
// the watcher takes texts, so the first one is not lost.
TEST(ClipboardSync, TextRightAfterStartIsApplied) {
  for (int i = 0; i < 50; ++i) {
    FakeClipboard board;
    ClipboardSync sync([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a watcher slow to set up
      return board.make_watcher();
    });
    sync.start([](const std::string&) {});
    sync.set_text("first");
    board.wait_running();
    board.wait_idle();
    EXPECT_EQ(board.content(), std::optional<std::string>("first"));
    sync.stop();
  }
}

TEST(ClipboardSync, StopReturnsRightAfterStart) {
  FakeClipboard board;
  for (int i = 0; i < 200; ++i) {
    ClipboardSync sync([&] { return board.make_watcher(); });
    sync.start([](const std::string&) {});
    sync.stop();
  }
}

TEST(ClipboardSync, WithoutAClipboardTextsAreDroppedAndStopReturns) {
  ClipboardSync sync([] { return std::unique_ptr<platform::ClipboardWatcher>(); });
  sync.start([](const std::string&) {});
  sync.set_text("abc");
  sync.stop();
  sync.stop();
}

}  // namespace
}  // namespace tolvi
