// tolvi-client: connects to a host, authenticates, sends what it is told and prints every
// message the host sends; with --stream it asks for video, decodes it and prints its figures.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "base/clock.h"
#include "client_connection.h"
#include "folder_relay.h"
#include "host_address.h"
#include "input_actions.h"
#include "platform/net.h"
#include "protocol/message_types.h"
#include "stream_receiver.h"

namespace {

using namespace tolvi;
using namespace tolvi::client;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPrintedPayloadBytes = 32;
constexpr double kProgressIntervalSeconds = 0.5;

enum ExitCode {
  kOk = 0,
  kFailed = 1,
  kUsage = 2,
  kUnreachable = 3,
  kWrongPassword = 4,
  kProtocolViolation = 5,
  kConnectionLost = 6,
};

constexpr char kUsageText[] =
    "Usage: tolvi-client HOST[:PORT] --password PW [options]\n"
    "  --ping N                send N Pings (4-byte counter payload), wait for each Pong\n"
    "  --ping-size BYTES       payload size of the Pings (default 4)\n"
    "  --send-config W H FPS [SCALE_PERCENT MATCH CODEC_MASK MAX_KBPS]\n"
    "  --raw TYPE HEX          send message TYPE (decimal or 0x..) with a hex payload\n"
    "  --hold SECONDS          stay connected and print host messages until then\n"
    "  --stall                 read HostHello, then send nothing until the host hangs up\n"
    "  --timeout SECONDS       longest wait for any answer (default 10)\n"
    "  --clipboard-set TEXT    send TEXT as the client's clipboard (ClipboardText)\n"
    "  --clipboard-set-file F  the same with the bytes of file F (texts above the argument limit)\n"
    "  --clipboard-get         wait for the host's next ClipboardText and print it\n"
    "  --stream W H FPS        ask for video of at most WxH at FPS, decode it, print figures\n"
    "    --match               ask the host to switch its display to fit WxH (with --stream)\n"
    "    --scale S             the view's pixels per point (default 1), for --match\n"
    "    --codecs MASK         codecs this client takes: 1 H.264, 2 HEVC, 3 both (default 3)\n"
    "    --kbps N              bit-rate cap in kbit/s (default 0: the host's choice)\n"
    "    --frames N            stop after N frames (with --hold: whichever comes first)\n"
    "    --seconds N           stop after N seconds of streaming (a still screen is fine)\n"
    "    --snapshot FILE.png   save the first decoded picture\n"
    "    --record FILE.h264    save the access units as received (a playable byte stream)\n"
    "    --no-decode           count and record only (leaves the CPU to a host on this machine)\n"
    "Actions, sent in command-line order after the handshake (once the stream runs with\n"
    "--stream); --send-config and --raw are actions too:\n"
    "  --move X Y              pointer to X, Y (0..1 over the streamed picture)\n"
    "  --button B down|up      mouse button B: 0 left, 1 right, 2 middle, 3 and 4 extra\n"
    "  --wheel H V [--fine]    wheel by H (left positive: the host negates it) and V (up)\n"
    "  --key USAGE down|up     USB HID keyboard usage (decimal or 0x..)\n"
    "  --type TEXT             type TEXT on a US layout (Shift where needed)\n"
    "  --release-keys          ask the host to release every key and button we hold\n"
    "  --share DIR             serve DIR over WebDAV (rclone) through the session until the\n"
    "                          host closes or SIGTERM/SIGINT; SIGUSR1 stops sharing\n"
    "    --share-name NAME     the name the host shows (default: DIR's last component)\n"
    "    --read-only           share without write access\n"
    "  --unshare               tell the host to stop showing the shared folder\n"
    "  --verbose               print every message sent (else one line per run of one type)\n"
    "  --help                  this text\n"
    "Exit codes: 0 done, 2 usage, 3 host not reachable, 4 wrong password,\n"
    "            5 protocol violation, 6 the host closed the connection.\n";

using Command = OutgoingMessage;

struct Options {
  std::string host;
  std::uint16_t port = kDefaultPort;
  std::string password;
  bool have_password = false;
  int pings = 0;
  std::size_t ping_size = 4;
  std::vector<Command> commands;
  double hold_seconds = 0;
  double stream_seconds = 0;  // 0: no time limit on the stream
  bool stall = false;
  bool clipboard_get = false;
  double timeout_seconds = 10;
  bool stream = false;
  StreamRequest request;
  long long frames = 0;  // 0: no frame limit
  StreamReceiver::Options receiver;
  std::string share_folder;
  std::string share_name;
  bool read_only = false;
  bool unshare = false;
  bool verbose = false;  // every message sent, not one line per run of one type
};

volatile std::sig_atomic_t stop_requested = 0;
volatile std::sig_atomic_t unshare_requested = 0;
void on_stop_signal(int) { stop_requested = 1; }
void on_unshare_signal(int) { unshare_requested = 1; }

bool parse_number(const char* text, long long& out) {
  char* end = nullptr;
  out = std::strtoll(text, &end, 0);
  return end && *end == '\0' && end != text;
}

bool parse_hex(const std::string& text, std::vector<std::uint8_t>& out) {
  if (text.size() % 2) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = text.substr(i, 2);
    const long value = std::strtol(pair.c_str(), &end, 16);
    if (*end != '\0') return false;
    out.push_back(static_cast<std::uint8_t>(value));
  }
  return true;
}

void put_le(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Each option and the values it takes; the message says what was missing or wrong.
std::string parse_options(int argc, char** argv, Options& o) {
  // Without the host first, the options are still read, so that a mistake among them is named.
  const bool host_given = argc >= 2 && argv[1][0] != '-';
  std::string error;
  if (host_given && !client::split_host_port(argv[1], o.host, o.port, &error)) return error;
  for (int i = host_given ? 2 : 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const int left = argc - i - 1;
    long long n = 0;
    // The next value as a number within [low, high]; false (with `error` set) otherwise.
    const auto number = [&](long long low, long long high) {
      if (left < 1 || !parse_number(argv[i + 1], n) || n < low || n > high) {
        error = arg + " needs a number from " + std::to_string(low) + " to " + std::to_string(high);
        return false;
      }
      ++i;
      return true;
    };
    const auto needs = [&](const char* what) { return arg + " needs " + what; };
    const OptionParse input = parse_input_option(argc, argv, i, o.commands, error);
    if (input == OptionParse::Invalid) return error;
    if (input == OptionParse::Parsed) continue;
    if (arg == "--password") {
      if (left < 1) return needs("PW");
      o.password = argv[++i];
      o.have_password = true;
    } else if (arg == "--ping") {
      if (!number(0, INT32_MAX)) return error;
      o.pings = static_cast<int>(n);
    } else if (arg == "--ping-size") {
      if (!number(0, INT32_MAX)) return error;
      o.ping_size = static_cast<std::size_t>(n);
    } else if (arg == "--send-config") {
      long long v[7] = {0, 0, 60, 100, 0, 3, 0};
      int count = 0;
      while (count < 7 && i + 1 < argc && parse_number(argv[i + 1], v[count])) {
        ++count;
        ++i;
      }
      if (count != 3 && count != 7) {
        return needs("W H FPS [SCALE_PERCENT MATCH CODEC_MASK MAX_KBPS] (3 or 7 numbers)");
      }
      Command c{code(MessageType::StreamConfig), {}};
      put_le(c.payload, static_cast<std::uint64_t>(v[0]), 4);
      put_le(c.payload, static_cast<std::uint64_t>(v[1]), 4);
      put_le(c.payload, static_cast<std::uint64_t>(v[3]), 2);
      c.payload.push_back(static_cast<std::uint8_t>(v[4]));
      c.payload.push_back(static_cast<std::uint8_t>(v[5]));
      put_le(c.payload, static_cast<std::uint64_t>(v[2]), 2);
      put_le(c.payload, static_cast<std::uint64_t>(v[6]), 4);
      o.commands.push_back(std::move(c));
    } else if (arg == "--raw") {
      if (left < 2 || !parse_number(argv[i + 1], n) || n < 0 || n > 255) {
        return needs("TYPE HEX (TYPE from 0 to 255)");
      }
      Command c{static_cast<std::uint8_t>(n), {}};
      if (!parse_hex(argv[i + 2], c.payload)) return needs("TYPE HEX (pairs of hex digits)");
      o.commands.push_back(std::move(c));
      i += 2;
    } else if (arg == "--clipboard-set" || arg == "--clipboard-set-file") {
      if (left < 1) return needs(arg == "--clipboard-set" ? "TEXT" : "FILE");
      Command c{code(MessageType::ClipboardText), {}};
      const std::string value = argv[++i];
      if (arg == "--clipboard-set") {
        c.payload.assign(value.begin(), value.end());
      } else {
        std::ifstream file(value, std::ios::binary);
        if (!file) return "cannot read " + value;
        c.payload.assign(std::istreambuf_iterator<char>(file), {});
      }
      o.commands.push_back(std::move(c));
    } else if (arg == "--clipboard-get") {
      o.clipboard_get = true;
    } else if (arg == "--hold" || arg == "--timeout") {
      if (left < 1 || std::atof(argv[i + 1]) < 0) return needs("SECONDS");
      (arg == "--hold" ? o.hold_seconds : o.timeout_seconds) = std::atof(argv[++i]);
    } else if (arg == "--stall") {
      o.stall = true;
    } else if (arg == "--stream") {
      long long v[3] = {};
      if (left < 3 || !parse_number(argv[i + 1], v[0]) || !parse_number(argv[i + 2], v[1]) ||
          !parse_number(argv[i + 3], v[2])) {
        return needs("WIDTH HEIGHT FPS");
      }
      i += 3;
      if (v[0] < 0 || v[1] < 0 || v[0] > INT32_MAX || v[1] > INT32_MAX || v[2] < 0 ||
          v[2] > UINT16_MAX) {
        return needs("WIDTH HEIGHT FPS within range (FPS at most 65535)");
      }
      o.stream = true;
      o.request.width = static_cast<std::int32_t>(v[0]);
      o.request.height = static_cast<std::int32_t>(v[1]);
      o.request.fps = static_cast<std::uint16_t>(v[2]);
    } else if (arg == "--match") {
      o.request.match_resolution = true;
    } else if (arg == "--scale") {
      // Pixels per point of the client's view (2 on a Retina screen); sent in percent.
      const double factor = left >= 1 ? std::atof(argv[i + 1]) : 0;
      if (!(factor > 0) || factor * 100 > UINT16_MAX) return needs("S (a number above 0)");
      o.request.scale_percent = static_cast<std::uint16_t>(std::lround(factor * 100));
      ++i;
    } else if (arg == "--codecs") {
      if (!number(0, 255)) return error;
      o.request.codec_mask = static_cast<std::uint8_t>(n);
    } else if (arg == "--kbps") {
      if (!number(0, INT32_MAX)) return error;
      o.request.max_kbps = static_cast<std::int32_t>(n);
    } else if (arg == "--seconds") {
      if (left < 1 || !(std::atof(argv[i + 1]) > 0)) return needs("SECONDS (above 0)");
      o.stream_seconds = std::atof(argv[++i]);
    } else if (arg == "--frames") {
      if (!number(1, INT64_MAX)) return error;
      o.frames = n;
    } else if (arg == "--snapshot" || arg == "--record" || arg == "--share" ||
               arg == "--share-name") {
      if (left < 1)
        return needs(arg == "--share" ? "DIR" : arg == "--share-name" ? "NAME" : "FILE");
      std::string& into = arg == "--snapshot" ? o.receiver.snapshot_path
                          : arg == "--record" ? o.receiver.record_path
                          : arg == "--share"  ? o.share_folder
                                              : o.share_name;
      into = argv[++i];
    } else if (arg == "--no-decode") {
      o.receiver.decode = false;
    } else if (arg == "--read-only") {
      o.read_only = true;
    } else if (arg == "--unshare") {
      o.unshare = true;
    } else if (arg == "--verbose") {
      o.verbose = true;
    } else if (arg.rfind('-', 0) == 0) {
      return "unknown option " + arg;
    } else {
      return "unexpected argument " + arg;
    }
  }
  // Stream options mean nothing without --stream; a snapshot needs decoded pictures.
  const bool stream_options = o.frames || o.stream_seconds > 0 || o.request.match_resolution ||
                              !o.receiver.snapshot_path.empty() ||
                              !o.receiver.record_path.empty() || !o.receiver.decode;
  if (stream_options && !o.stream) {
    return "--frames, --seconds, --match, --snapshot, --record and --no-decode need --stream";
  }
  if (!o.receiver.snapshot_path.empty() && !o.receiver.decode) {
    return "--snapshot needs decoded pictures: leave --no-decode out";
  }
  if ((!o.share_name.empty() || o.read_only) && o.share_folder.empty()) {
    return "--share-name and --read-only need --share DIR";
  }
  if (!o.share_folder.empty() && o.stream) return "--share and --stream cannot go together";
  if (!host_given) return "HOST[:PORT] is missing (it comes first)";
  if (!o.have_password && !o.stall) return "--password PW is missing";
  return {};
}

void print_message(std::uint8_t type, const std::vector<std::uint8_t>& payload,
                   std::size_t frame_bytes) {
  const char* name = message_type_name(type);
  std::printf("<- %s (0x%02x) %zu bytes, frame %zu bytes:", name ? name : "unknown", type,
              payload.size(), frame_bytes);
  for (std::size_t i = 0; i < payload.size() && i < kPrintedPayloadBytes; ++i) {
    std::printf(" %02x", payload[i]);
  }
  std::printf("%s\n", payload.size() > kPrintedPayloadBytes ? " ..." : "");
  std::fflush(stdout);
}

std::chrono::milliseconds ms(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int lost(const char* when) {
  std::printf("the host closed the connection %s\n", when);
  return kConnectionLost;
}

// Waits for the host to hang up without sending anything ourselves.
int stall(ClientConnection& connection, const Options& o) {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  connection.set_receive_timeout(ms(o.timeout_seconds));
  if (!connection.receive(type, payload) || type != code(MessageType::HostHello)) {
    std::printf("protocol violation: no HostHello\n");
    return kProtocolViolation;
  }
  const Clock::time_point start = Clock::now();
  while (connection.receive(type, payload))
    print_message(type, payload, connection.last_frame_bytes());
  if (connection.last_failure() == ClientConnection::Failure::Idle) {
    std::printf("the host kept the connection open for %.1f s\n", seconds_since(start));
    return kFailed;
  }
  std::printf("the host closed the connection after %.1f s\n", seconds_since(start));
  return kOk;
}

// Sends the command-line actions in order. Each is printed with --verbose; otherwise a run of
// messages of one type (the key presses of --type) is one line with its count.
bool send_actions(ClientConnection& connection, const Options& o) {
  const auto print = [](const Command& c, std::size_t count) {
    const char* name = message_type_name(c.type);
    std::printf("-> %s (0x%02x) %zu bytes", name ? name : "unknown", c.type, c.payload.size());
    if (count > 1) std::printf(" and %zu more", count - 1);
    std::printf("\n");
  };
  std::size_t run = 0;
  for (std::size_t i = 0; i < o.commands.size(); ++i) {
    const Command& c = o.commands[i];
    if (!connection.send(c.type, c.payload)) return false;
    ++run;
    const bool run_ends = i + 1 == o.commands.size() || o.commands[i + 1].type != c.type;
    if (o.verbose || run_ends) {
      print(o.commands[i + 1 - run], o.verbose ? 1 : run);
      run = 0;
    }
  }
  return true;
}

// Receives until a message of `wanted` type arrives (printing everything).
bool receive_until(ClientConnection& connection, std::uint8_t wanted,
                   std::vector<std::uint8_t>& payload) {
  std::uint8_t type = 0;
  while (connection.receive(type, payload)) {
    print_message(type, payload, connection.last_frame_bytes());
    if (type == wanted) return true;
  }
  return false;
}

// Asks for the stream, then receives, decodes and counts until the frame count or the hold
// time is reached; prints the stream's figures at the end whatever happened.
int stream(ClientConnection& connection, const Options& o) {
  const std::vector<std::uint8_t> config = stream_config_payload(o.request);
  if (!connection.send(code(MessageType::StreamConfig), config)) return lost("while sending");
  std::printf("-> StreamConfig %dx%d %u fps codecs %u cap %d kbps\n", o.request.width,
              o.request.height, static_cast<unsigned>(o.request.fps),
              static_cast<unsigned>(o.request.codec_mask), o.request.max_kbps);

  StreamReceiver receiver(o.receiver);
  const Clock::time_point start_time = Clock::now();
  const auto frames_done = [&] {
    const StreamStats& s = receiver.stats();
    return o.frames > 0 &&
           static_cast<long long>(o.receiver.decode ? s.decoded : s.frames) >= o.frames;
  };
  // On a terminal, a progress line rewritten in place while the stream runs; scripts reading
  // a pipe see only the final figures.
  const bool progress = isatty(fileno(stderr)) != 0;
  Clock::time_point last_progress = Clock::now();
  const auto show_progress = [&](bool done) {
    if (!progress) return;
    if (done) {
      std::fputs("\r\033[K", stderr);
      return;
    }
    if (seconds_since(last_progress) < kProgressIntervalSeconds) return;
    last_progress = Clock::now();
    const StreamStats& s = receiver.stats();
    std::fprintf(stderr, "\r\033[K%llu frames, %.1f fps, %.0f kbit/s, %.0f s",
                 static_cast<unsigned long long>(s.frames), s.frames_per_second(),
                 s.bits_per_second() / 1000, seconds_since(start_time));
  };
  const auto finish = [&](int code) {
    show_progress(true);
    std::printf("%s\n", receiver.stats().summary().c_str());
    return code;
  };
  // Either limit, the hold time or the stream time, ends the stream; both mean a still screen
  // is no failure.
  const double limit_seconds = o.stream_seconds > 0 ? o.stream_seconds : o.hold_seconds;
  // Short receive turns so the hold time is honoured; the --timeout applies to silence.
  const auto turn = std::chrono::milliseconds(100);
  connection.set_receive_timeout(turn);
  const Clock::time_point start = start_time;
  Clock::time_point last_message = start;
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  bool actions_sent = false;
  while (!frames_done() && (limit_seconds <= 0 || seconds_since(start) < limit_seconds)) {
    show_progress(false);
    if (!connection.receive(type, payload)) {
      if (connection.last_failure() != ClientConnection::Failure::Idle) {
        // A host that cannot build the stream (no encoder for the allowed codecs, no
        // desktop) says so only by hanging up.
        std::printf("the host closed the connection after %.1f s%s\n", seconds_since(start),
                    receiver.info() ? ""
                                    : " without a StreamInfo: it could not set up a stream "
                                      "for this request (see its log)");
        return finish(kConnectionLost);
      }
      if (seconds_since(last_message) >= o.timeout_seconds) {
        if (limit_seconds > 0) continue;  // a still screen sends nothing; that is fine
        if (!receiver.info()) {
          std::printf("no StreamInfo from the host for %.1f s\n", o.timeout_seconds);
        } else {
          std::printf(
              "no video frame from the host for %.1f s (a still screen sends only a "
              "few; --hold SECONDS waits instead)\n",
              o.timeout_seconds);
        }
        return finish(kFailed);
      }
      continue;
    }
    last_message = Clock::now();
    const std::uint64_t now_us = monotonic_us();
    switch (receiver.handle(type, payload, now_us)) {
      case StreamReceiver::Event::Error:
        if (receiver.error_is_local()) {
          std::printf("%s\n", receiver.error().c_str());
          return finish(kFailed);
        }
        std::printf("protocol violation: %s\n", receiver.error().c_str());
        return finish(kProtocolViolation);
      case StreamReceiver::Event::Info: {
        const StreamInfo& info = *receiver.info();
        std::printf("stream: %s %ux%u (desktop %ux%u)\n", codec_name(info.codec), info.stream_width,
                    info.stream_height, info.desktop_width, info.desktop_height);
        if (!actions_sent) {
          actions_sent = true;
          if (!send_actions(connection, o)) return finish(lost("while sending"));
        }
        break;
      }
      case StreamReceiver::Event::Cursor: {
        const CursorShapeInfo& c = receiver.last_cursor();
        if (c.hidden) {
          std::printf("pointer: hidden\n");
        } else {
          std::printf("pointer: %ux%u hot spot %u,%u\n", static_cast<unsigned>(c.width),
                      static_cast<unsigned>(c.height), static_cast<unsigned>(c.hot_x),
                      static_cast<unsigned>(c.hot_y));
        }
        break;
      }
      case StreamReceiver::Event::Frame:
      case StreamReceiver::Event::Picture:
        break;
      case StreamReceiver::Event::None:
        print_message(type, payload, connection.last_frame_bytes());
        break;
    }
  }
  if (o.frames > 0 && !frames_done()) {
    std::printf("only %llu of %lld frames in %.1f s\n",
                static_cast<unsigned long long>(receiver.stats().frames), o.frames,
                seconds_since(start));
    return finish(kFailed);
  }
  return finish(kOk);
}

void print_folder_status(const std::vector<std::uint8_t>& payload) {
  if (payload.empty()) return;
  std::printf("folder status: %s\n", folder_status_text(payload).c_str());
}

// Serves the folder and relays the host's connections to it until the host closes, the hold
// time ends or a stop signal arrives; SIGUSR1 sends the FolderShare that stops sharing.
int share(ClientConnection& connection, const Options& o) {
  std::mutex send_lock;
  FolderRelay relay(connection, send_lock);
  const std::string name = o.share_name.empty() ? default_share_name(o.share_folder) : o.share_name;
  std::string error;
  if (!relay.start(o.share_folder, name, o.read_only, error)) {
    std::printf("cannot share %s: %s\n", o.share_folder.c_str(), error.c_str());
    return kFailed;
  }
  std::signal(SIGTERM, on_stop_signal);
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGUSR1, on_unshare_signal);
  {
    std::lock_guard<std::mutex> guard(send_lock);
    if (!connection.send(code(MessageType::FolderShare), relay.share_payload())) {
      return lost("while sending");
    }
  }
  std::printf("-> FolderShare %s as \"%s\"%s\n", o.share_folder.c_str(), name.c_str(),
              o.read_only ? " (read-only)" : "");
  const Clock::time_point start = Clock::now();
  connection.set_receive_timeout(std::chrono::milliseconds(200));
  std::uint8_t type = 0;
  const std::uint8_t* data = nullptr;
  std::size_t length = 0;
  while (!stop_requested && (o.hold_seconds <= 0 || seconds_since(start) < o.hold_seconds)) {
    if (unshare_requested) {
      unshare_requested = 0;
      std::lock_guard<std::mutex> guard(send_lock);
      if (!connection.send(code(MessageType::FolderShare), unshare_payload())) {
        return lost("while sending");
      }
      std::printf("-> FolderShare (stop sharing)\n");
    }
    // Tunnel data goes from the receive buffer to the relay's socket without a copy.
    if (!connection.receive_view(type, data, length)) {
      if (connection.last_failure() != ClientConnection::Failure::Idle) {
        std::printf("the host closed the connection after %.1f s\n", seconds_since(start));
        return kConnectionLost;
      }
      continue;
    }
    if (relay.handle(type, data, length)) continue;
    const std::vector<std::uint8_t> payload(data, data + length);
    if (type == code(MessageType::FolderStatus)) {
      print_folder_status(payload);
    } else {
      print_message(type, payload, connection.last_frame_bytes());
    }
  }
  return kOk;
}

int run(const Options& o) {
  platform::net_startup();
  platform::Socket socket = platform::connect_to(o.host, o.port);
  if (!socket.valid()) {
    std::printf("host not reachable: %s port %u\n", o.host.c_str(), static_cast<unsigned>(o.port));
    return kUnreachable;
  }
  socket.set_no_delay(true);
  ClientConnection connection(std::move(socket));
  if (o.stall) return stall(connection, o);

  connection.set_receive_timeout(ms(o.timeout_seconds));
  HostHello hello;
  const HandshakeResult result = client_handshake(connection, o.password, &hello);
  if (result != HandshakeResult::Authenticated) {
    std::printf("%s\n", describe(result));
    switch (result) {
      case HandshakeResult::WrongPassword:
        return kWrongPassword;
      case HandshakeResult::ConnectionLost:
        return kConnectionLost;
      default:
        return kProtocolViolation;
    }
  }
  std::printf("authenticated with %s (%s)\n", hello.computer_name.c_str(), o.host.c_str());

  // With a stream, the actions wait until it runs.
  if (!o.stream && !send_actions(connection, o)) return lost("while sending");

  for (int i = 0; i < o.pings; ++i) {
    std::vector<std::uint8_t> ping(o.ping_size, 0);
    for (std::size_t b = 0; b < ping.size() && b < 4; ++b) {
      ping[b] = static_cast<std::uint8_t>(static_cast<unsigned>(i) >> (8 * b));
    }
    const Clock::time_point sent = Clock::now();
    if (!connection.send(code(MessageType::Ping), ping)) return lost("while sending");
    std::vector<std::uint8_t> pong;
    if (!receive_until(connection, code(MessageType::Pong), pong)) return lost("before the Pong");
    if (pong != ping) {
      std::printf("protocol violation: Pong differs from its Ping\n");
      return kProtocolViolation;
    }
    std::printf("pong %d: %.3f ms\n", i, seconds_since(sent) * 1000);
  }

  if (o.clipboard_get) {
    const Clock::time_point start = Clock::now();
    std::vector<std::uint8_t> text;
    if (!receive_until(connection, code(MessageType::ClipboardText), text)) {
      if (connection.last_failure() != ClientConnection::Failure::Idle) {
        return lost("before a ClipboardText");
      }
      std::printf("no ClipboardText from the host for %.1f s\n", o.timeout_seconds);
      return kFailed;
    }
    std::printf("clipboard (%zu bytes after %.3f s): %.*s\n", text.size(), seconds_since(start),
                static_cast<int>(text.size()), reinterpret_cast<const char*>(text.data()));
  }

  if (o.stream) return stream(connection, o);
  if (!o.share_folder.empty()) return share(connection, o);
  if (o.unshare) {
    if (!connection.send(code(MessageType::FolderShare), unshare_payload())) {
      return lost("while sending");
    }
    std::printf("-> FolderShare (stop sharing)\n");
  }

  if (o.hold_seconds > 0) {
    const Clock::time_point start = Clock::now();
    const auto turn = std::chrono::milliseconds(200);
    connection.set_receive_timeout(turn);
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    while (seconds_since(start) < o.hold_seconds) {
      if (connection.receive(type, payload)) {
        print_message(type, payload, connection.last_frame_bytes());
      } else if (connection.last_failure() != ClientConnection::Failure::Idle) {
        std::printf("the host closed the connection after %.1f s\n", seconds_since(start));
        return kConnectionLost;
      }
    }
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line, so a script watching the output sees each message as it comes.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // libavcodec's own chatter only for real errors; the client reports what went wrong.
  av_log_set_level(AV_LOG_ERROR);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsageText, stdout);
      return kOk;
    }
  }
  Options options;
  const std::string mistake = parse_options(argc, argv, options);
  if (!mistake.empty()) {
    std::fprintf(stderr, "tolvi-client: %s\nTry 'tolvi-client --help' for the options.\n",
                 mistake.c_str());
    return kUsage;
  }
  return run(options);
}
