#include "share/folder_forwarder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "base/little_endian.h"
#include "protocol/message_types.h"
#include "support/eventually.h"

namespace tolvi {
namespace {

using std::chrono::seconds;

struct Sent {
  bool bulk;
  std::uint8_t type;
  std::vector<std::uint8_t> payload;
  std::uint32_t id() const { return load_le<std::uint32_t>(payload.data()); }
};

// Records what the forwarder sends, in queueing order, and lets tests wait for it.
class RecordingLink : public FolderLink {
 public:
  void send(std::uint8_t type, const std::vector<std::uint8_t>& payload) override {
    add({false, type, payload});
  }
  void send_bulk(std::uint8_t type, const std::uint8_t* data, std::size_t length) override {
    add({true, type, std::vector<std::uint8_t>(data, data + length)});
  }
  void wait_bulk_below(std::uint64_t) override {}
  bool closed() const override { return closed_; }
  std::atomic<bool> closed_{false};

  // The first message (from index `from` on) that satisfies `match`, waiting up to 10 s.
  template <typename Match>
  std::optional<Sent> wait_for(Match match, std::size_t from = 0) {
    std::unique_lock<std::mutex> guard(lock_);
    std::optional<Sent> found;
    changed_.wait_for(guard, seconds(10), [&] {
      for (std::size_t i = from; i < sent_.size(); ++i) {
        if (match(sent_[i])) {
          found = sent_[i];
          return true;
        }
      }
      return false;
    });
    return found;
  }
  std::optional<Sent> wait_for_type(MessageType type, std::uint32_t id) {
    return wait_for([&](const Sent& s) {
      return s.type == code(type) && s.payload.size() >= 4 && s.id() == id;
    });
  }
  bool has_type(MessageType type, std::uint32_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    for (const Sent& s : sent_) {
      if (s.type == code(type) && s.payload.size() >= 4 && s.id() == id) return true;
    }
    return false;
  }
  std::vector<Sent> sent() {
    std::lock_guard<std::mutex> guard(lock_);
    return sent_;
  }

 private:
  void add(Sent s) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      sent_.push_back(std::move(s));
    }
    changed_.notify_all();
  }
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Sent> sent_;
};

// Everything the local program reads until the end of the stream (or a 10 s silence).
std::string read_to_end(platform::Socket& socket, bool* ended = nullptr) {
  socket.set_receive_timeout_ms(10000);
  std::string out;
  char buffer[4096];
  for (;;) {
    const long got = socket.receive_some(buffer, sizeof buffer);
    if (got <= 0) {
      if (ended) *ended = got == 0;
      return out;
    }
    out.append(buffer, static_cast<std::size_t>(got));
  }
}

// A mount that does what it is told and remembers every call. With `through_tunnel` it
// behaves like a WebDAV mount program: it opens a connection to the forwarding port and waits
// for that connection to end (at most 10 s) before it returns.
struct MountScript {
  platform::FolderMountOutcome outcome = platform::FolderMountOutcome::Mounted;
  std::atomic<bool> allow_peers{true};
  bool through_tunnel = false;
  std::mutex lock;  // calls, connections_ended
  std::vector<std::string> calls;
  std::vector<bool> connections_ended;  // per mount through the tunnel: ended, not timed out

  void record(std::string call) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back(std::move(call));
  }
  std::vector<std::string> calls_now() {
    std::lock_guard<std::mutex> guard(lock);
    return calls;
  }
};

class ScriptedMounter : public platform::FolderMounter {
 public:
  explicit ScriptedMounter(MountScript& script) : script_(script) {}
  platform::FolderMountResult mount(const platform::FolderMountRequest& r) override {
    script_.record("mount " + r.token + " " + r.label + (r.read_only ? " ro" : " rw") +
                   (r.port ? " port" : " no-port"));
    if (script_.through_tunnel) {
      platform::Socket connection = platform::connect_to("127.0.0.1", r.port);
      bool ended = false;
      read_to_end(connection, &ended);
      std::lock_guard<std::mutex> guard(script_.lock);
      script_.connections_ended.push_back(ended);
    }
    if (script_.outcome != platform::FolderMountOutcome::Mounted) return {script_.outcome, {}, {}};
    return {script_.outcome, "/m/" + r.label, "is at /m/" + r.label};
  }
  void unmount() override { script_.record("unmount"); }
  bool allows_peer(const platform::Socket&, std::string& peer) const override {
    peer = "uid 65534";
    return script_.allow_peers;
  }
  std::string no_user_text() const override { return "no user"; }
  std::string failed_text() const override { return "failed"; }

 private:
  MountScript& script_;
};

std::vector<std::uint8_t> share_payload(bool read_only, const std::string& token,
                                        const std::string& name) {
  std::vector<std::uint8_t> p{static_cast<std::uint8_t>(read_only)};
  append_le<std::uint16_t>(p, static_cast<std::uint16_t>(token.size()));
  p.insert(p.end(), token.begin(), token.end());
  append_le<std::uint16_t>(p, static_cast<std::uint16_t>(name.size()));
  p.insert(p.end(), name.begin(), name.end());
  return p;
}

std::vector<std::uint8_t> traffic(std::uint32_t id, const std::string& bytes = "") {
  std::vector<std::uint8_t> p;
  append_le<std::uint32_t>(p, id);
  p.insert(p.end(), bytes.begin(), bytes.end());
  return p;
}

std::string text_of(const Sent& s, std::size_t skip) {
  return std::string(s.payload.begin() + static_cast<long>(skip), s.payload.end());
}

// Entries of a /proc/self folder; 0 where the system has none. A Windows build has none even
// under Wine, where the path would reach the Wine process's own folder, whose descriptors come and
// go with Wine's work.
std::size_t proc_entries(const char* folder) {
  if constexpr (std::filesystem::path::preferred_separator != '/') return 0;
  const std::filesystem::path path = std::string("/proc/self/") + folder;
  if (!std::filesystem::exists(path)) return 0;
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(path)) ++n;
  return n;
}
std::size_t thread_count() { return proc_entries("task"); }
std::size_t descriptor_count() { return proc_entries("fd"); }

// True once `done` holds, checked every 5 ms for up to 10 s.
template <typename Done>
bool eventually(Done done) {
  return testing::eventually(done, seconds(10), std::chrono::milliseconds(5));
}

class ForwarderTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::net_startup(); }
  std::unique_ptr<ForwardedSharedFolder> make(
      std::size_t pending_limit = kFolderPendingLimit,
      std::size_t connection_limit = kFolderConnectionLimit) {
    return std::make_unique<ForwardedSharedFolder>(link, std::make_unique<ScriptedMounter>(script),
                                                   pending_limit, connection_limit);
  }
  // Shares "Photos" and waits for the mount; the folder then listens.
  std::unique_ptr<ForwardedSharedFolder> sharing(
      std::size_t limit = kFolderPendingLimit,
      std::size_t connection_limit = kFolderConnectionLimit) {
    auto folder = make(limit, connection_limit);
    folder->handle_folder_share(share_payload(false, "ab12", "Photos"));
    folder->wait_for_mapping();
    EXPECT_NE(folder->port(), 0);
    return folder;
  }
  platform::Socket connect(ForwardedSharedFolder& folder) {
    return platform::connect_to("127.0.0.1", folder.port());
  }
  RecordingLink link;
  MountScript script;
};

TEST_F(ForwarderTest, MappingOutcomesAndTheirStatusTexts) {
  struct Case {
    platform::FolderMountOutcome outcome;
    bool read_only;
    std::uint8_t success;
    std::string text;
  };
  const Case cases[] = {
      {platform::FolderMountOutcome::Mounted, false, 1,
       "\u201CMy Photos\u201D is at /m/My Photos on this PC."},
      {platform::FolderMountOutcome::Mounted, true, 1,
       "\u201CMy Photos\u201D is at /m/My Photos on this PC (read-only)."},
      {platform::FolderMountOutcome::NoUser, false, 0, "no user"},
      {platform::FolderMountOutcome::Failed, false, 0, "failed"},
  };
  for (const Case& c : cases) {
    RecordingLink case_link;
    MountScript case_script;
    case_script.outcome = c.outcome;
    ForwardedSharedFolder folder(case_link, std::make_unique<ScriptedMounter>(case_script));
    folder.handle_folder_share(share_payload(c.read_only, "0a", "My%20Photos"));
    folder.wait_for_mapping();
    const std::vector<Sent> sent = case_link.sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(sent[0].bulk);
    EXPECT_EQ(sent[0].type, code(MessageType::FolderStatus));
    EXPECT_EQ(sent[0].payload[0], c.success);
    EXPECT_EQ(text_of(sent[0], 1), c.text);
    folder.stop_shared_folder();
    const std::string mount =
        std::string("mount 0a My Photos ") + (c.read_only ? "ro" : "rw") + " port";
    std::vector<std::string> expected{mount};
    if (c.success) expected.push_back("unmount");  // at session end, only what was mounted
    EXPECT_EQ(case_script.calls, expected);
  }
}

TEST_F(ForwarderTest, ReshareUnmapsFirstKeepsThePortAndEmptyNameOnlyUnmaps) {
  auto folder = sharing();
  const std::uint16_t port = folder->port();
  folder->handle_folder_share(share_payload(true, "cd", "Docs"));
  folder->wait_for_mapping();
  EXPECT_EQ(folder->port(), port);
  folder->handle_folder_share(share_payload(false, "cd", ""));
  folder->wait_for_mapping();
  // Malformed announcements start no job at all.
  folder->handle_folder_share(share_payload(false, "xyz", "Docs"));
  folder->handle_folder_share({1, 2});
  folder->wait_for_mapping();
  EXPECT_EQ(script.calls, (std::vector<std::string>{"mount ab12 Photos rw port", "unmount",
                                                    "mount cd Docs ro port", "unmount"}));
  const std::vector<Sent> sent = link.sent();
  ASSERT_EQ(sent.size(), 2u);  // two successes, nothing for the empty name
  folder->stop_shared_folder();
  EXPECT_EQ(script.calls.size(), 4u);  // nothing left to unmount
}

TEST_F(ForwarderTest, IdsCountUpAndDataFlowsBothWays) {
  auto folder = sharing();
  platform::Socket first = connect(*folder);
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, 1));
  platform::Socket second = connect(*folder);
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, 2));

  // Local program -> client, on the bulk queue, after the FolderOpen on the main queue.
  const std::string request = "PROPFIND / HTTP/1.1\r\n\r\n";
  const platform::SendPart part{request.data(), request.size()};
  ASSERT_TRUE(second.send_all(&part, 1));
  const auto data = link.wait_for(
      [](const Sent& s) { return s.type == code(MessageType::FolderData) && s.id() == 2; });
  ASSERT_TRUE(data);
  EXPECT_TRUE(data->bulk);
  EXPECT_EQ(text_of(*data, 4), request);
  const auto open = link.wait_for_type(MessageType::FolderOpen, 2);
  EXPECT_FALSE(open->bulk);

  // The first ends locally: FolderClose on the bulk queue; data for it afterwards is ignored.
  first = platform::Socket();
  const auto close = link.wait_for_type(MessageType::FolderClose, 1);
  ASSERT_TRUE(close);
  EXPECT_TRUE(close->bulk);
  folder->handle_folder_traffic(code(MessageType::FolderData), traffic(1, "late"));

  platform::Socket third = connect(*folder);
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, 3));

  // Client -> local program: chunks in order (an empty one writes nothing, a 3-byte message and
  // an unknown id are ignored), then the half-close after FolderClose.
  folder->handle_folder_traffic(code(MessageType::FolderData), traffic(3, "HTTP/1.1 200 OK\r\n"));
  folder->handle_folder_traffic(code(MessageType::FolderData), traffic(3));
  folder->handle_folder_traffic(code(MessageType::FolderData), {3, 0, 0});
  folder->handle_folder_traffic(code(MessageType::FolderData), traffic(99, "nobody"));
  folder->handle_folder_traffic(code(MessageType::FolderData), traffic(3, "\r\nbody"));
  folder->handle_folder_traffic(code(MessageType::FolderClose), traffic(3));
  bool ended = false;
  EXPECT_EQ(read_to_end(third, &ended), "HTTP/1.1 200 OK\r\n\r\nbody");
  EXPECT_TRUE(ended);
  // Half-closed only: the local program can still send.
  ASSERT_TRUE(third.send_all(&part, 1));
  EXPECT_TRUE(link.wait_for(
      [](const Sent& s) { return s.type == code(MessageType::FolderData) && s.id() == 3; }));
  folder->stop_shared_folder();
}

TEST_F(ForwarderTest, ClientDataBeyondTheBoundClosesOnlyThatConnection) {
  constexpr std::size_t kLimit = 1u << 20;
  auto folder = sharing(kLimit);
  platform::Socket idle = connect(*folder);  // never reads
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, 1));
  platform::Socket reading = connect(*folder);
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, 2));

  // Far more than the socket buffers and the bound together can hold.
  const std::string chunk(kLimit / 4, 'x');
  for (int i = 0; i < 256 && !link.has_type(MessageType::FolderClose, 1); ++i) {
    for (int j = 0; j < 16; ++j) {
      folder->handle_folder_traffic(code(MessageType::FolderData), traffic(1, chunk));
    }
  }
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderClose, 1));
  // The other connection goes on.
  folder->handle_folder_traffic(code(MessageType::FolderData), traffic(2, "still here"));
  folder->handle_folder_traffic(code(MessageType::FolderClose), traffic(2));
  EXPECT_EQ(read_to_end(reading), "still here");
  folder->stop_shared_folder();
}

TEST_F(ForwarderTest, AfterTheClientIsGoneLocalProgramsAreNotLeftWaiting) {
  auto folder = sharing();
  platform::Socket open = connect(*folder);
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, 1));
  link.closed_ = true;
  // A request on a connection opened before: it ends instead of waiting for an answer.
  const std::string request = "GET / HTTP/1.1\r\n\r\n";
  const platform::SendPart part{request.data(), request.size()};
  ASSERT_TRUE(open.send_all(&part, 1));
  EXPECT_EQ(read_to_end(open), "");
  EXPECT_TRUE(link.wait_for_type(MessageType::FolderClose, 1));
  // A new connection is not announced and ends at once.
  platform::Socket late = connect(*folder);
  EXPECT_EQ(read_to_end(late), "");
  folder->stop_shared_folder();
  EXPECT_FALSE(link.has_type(MessageType::FolderOpen, 2));
}

// Ends both directions of connection `id`: the client's FolderClose, then the local program
// reads the end and closes.
void end_both_ways(ForwardedSharedFolder& folder, std::uint32_t id, platform::Socket& local) {
  folder.handle_folder_traffic(code(MessageType::FolderClose), traffic(id));
  read_to_end(local);
  local = platform::Socket();
}

TEST_F(ForwarderTest, ConnectionsTheMountRefusesAreClosedUnannounced) {
  auto folder = sharing();
  script.allow_peers = false;
  platform::Socket refused = connect(*folder);
  bool ended = false;
  EXPECT_EQ(read_to_end(refused, &ended), "");
  EXPECT_TRUE(ended);
  platform::Socket second = connect(*folder);
  EXPECT_EQ(read_to_end(second), "");
  // Refused ones take no id.
  script.allow_peers = true;
  platform::Socket allowed = connect(*folder);
  EXPECT_TRUE(link.wait_for_type(MessageType::FolderOpen, 1));
  const std::vector<Sent> sent = link.sent();
  EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                          [](const Sent& s) { return s.type == code(MessageType::FolderOpen); }),
            1);
  folder->stop_shared_folder();
}

TEST_F(ForwarderTest, ConnectionsBeyondTheLimitAreClosedUntilOneEnds) {
  auto folder = sharing(kFolderPendingLimit, 2);
  platform::Socket first = connect(*folder);
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, 1));
  platform::Socket second = connect(*folder);
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, 2));
  platform::Socket third = connect(*folder);
  bool ended = false;
  EXPECT_EQ(read_to_end(third, &ended), "");
  EXPECT_TRUE(ended);
  // A half-ended connection still counts; one ended both ways makes room.
  folder->handle_folder_traffic(code(MessageType::FolderClose), traffic(2));
  read_to_end(second);
  EXPECT_EQ(folder->live_connections(), 2u);
  end_both_ways(*folder, 1, first);
  ASSERT_TRUE(eventually([&] { return folder->live_connections() == 1; }));
  platform::Socket fourth = connect(*folder);
  EXPECT_TRUE(link.wait_for_type(MessageType::FolderOpen, 3));
  EXPECT_EQ(folder->live_connections(), 2u);
  folder->stop_shared_folder();
  EXPECT_EQ(folder->live_connections(), 0u);
}

TEST_F(ForwarderTest, ConnectionsEndedBothWaysGiveBackTheirSocketsDuringTheSession) {
  auto folder = sharing();
  const std::size_t descriptors = descriptor_count();
  for (std::uint32_t id = 1; id <= 8; ++id) {
    platform::Socket local = connect(*folder);
    ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, id));
    end_both_ways(*folder, id, local);
    ASSERT_TRUE(eventually([&] { return folder->live_connections() == 0; })) << id;
    // Where descriptors can be counted (not under Wine), the host's end is closed too.
    EXPECT_EQ(descriptor_count(), descriptors) << id;
  }
  folder->stop_shared_folder();
}

TEST_F(ForwarderTest, StoppingDuringAMountEndsItsConnectionsInsteadOfWaitingForIt) {
  script.through_tunnel = true;
  auto folder = make();
  folder->handle_folder_share(share_payload(false, "ab12", "Photos"));
  // The mount is talking through the tunnel to a client that no longer answers.
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, 1));
  link.closed_ = true;
  folder->stop_shared_folder();
  // Its connection was shut, not left to time out.
  EXPECT_EQ(script.connections_ended, std::vector<bool>{true});
  // Whatever the job mounted is removed after it.
  EXPECT_EQ(script.calls, (std::vector<std::string>{"mount ab12 Photos rw port", "unmount"}));
}

TEST_F(ForwarderTest, AnAnnouncementDuringAMountDoesNotWaitAndTheLatestWins) {
  script.through_tunnel = true;
  auto folder = make();
  folder->handle_folder_share(share_payload(false, "aa", "First"));
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, 1));
  // The receive thread hands these on while the first mount still waits for the client.
  folder->handle_folder_share(share_payload(false, "bb", "Second"));
  folder->handle_folder_share(share_payload(true, "cc", "Third"));
  {
    std::lock_guard<std::mutex> guard(script.lock);
    EXPECT_TRUE(script.connections_ended.empty());
  }
  // The client answers by ending the first mount's connection, then the next one's.
  folder->handle_folder_traffic(code(MessageType::FolderClose), traffic(1));
  ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, 2));
  folder->handle_folder_traffic(code(MessageType::FolderClose), traffic(2));
  folder->wait_for_mapping();
  EXPECT_EQ(script.calls_now(), (std::vector<std::string>{"mount aa First rw port", "unmount",
                                                          "mount cc Third ro port"}));
  folder->stop_shared_folder();
}

TEST_F(ForwarderTest, StoppingWithOpenConnectionsJoinsEveryThread) {
  // Threads a runtime starts with the process's first thread (a sanitizer's) are not ours.
  std::thread([] {}).join();
  const std::size_t threads_before = thread_count();
  auto folder = sharing();
  std::vector<platform::Socket> locals;
  for (std::uint32_t id = 1; id <= 3; ++id) {
    locals.push_back(connect(*folder));
    ASSERT_TRUE(link.wait_for_type(MessageType::FolderOpen, id));
  }
  // One has client data waiting, one is half-closed by the client.
  folder->handle_folder_traffic(code(MessageType::FolderData), traffic(1, "pending"));
  folder->handle_folder_traffic(code(MessageType::FolderClose), traffic(2));
  // Where the system lets threads be counted (Linux; not under Wine), none is left.
  const bool counted = thread_count() > threads_before;
  folder->stop_shared_folder();
  if (counted) {
    EXPECT_EQ(thread_count(), threads_before);
  }
  for (platform::Socket& local : locals) {
    read_to_end(local);  // every local connection sees its end
  }
  // Nobody listens any more.
  EXPECT_FALSE(platform::connect_to("127.0.0.1", folder->port()).valid());
  folder.reset();  // the destructor's second stop is harmless
}

}  // namespace
}  // namespace tolvi
