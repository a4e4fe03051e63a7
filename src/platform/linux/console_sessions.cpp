// The console session on Linux and the agents started into it.
//
// The console is logind's active session on seat0 when that is an X11 session (the greeter's
// included): its X display, and its Xauthority from the session leader's environment or else
// the X server's "-auth" argument. Where logind has no graphical seat (a container, a headless
// host with Xvfb), the console is the X display named in /etc/tolvi-host/console:
//
//     :5 /path/to/Xauthority
//
// one line, the display first, the Xauthority file optional. The agent is this executable with
// "--agent", started with the service's own rights into that display (DISPLAY, XAUTHORITY), in a
// process group of its own so that ending it ends what it started.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "base/linux/install_root.h"
#include "base/log.h"
#include "platform/linux/console_desktop.h"
#include "platform/linux/spawn_program.h"
#include "platform/linux/trusted_file.h"
#include "platform/linux/unique_fd.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/text.h"

extern char** environ;

namespace tolvi::platform {
namespace {

constexpr const char* kConsoleFile = "/etc/tolvi-host/console";
constexpr const char* kConsoleSeat = "seat0";
// Console-file sessions are numbered by their display; logind's by their own id. Ids logind
// gives that are not numbers ("c1", a greeter's) get a number of their own above this.
constexpr unsigned long kNamedSessionBase = 0x40000000ul;

struct ConsoleDisplay {
  unsigned long session = kNoConsoleSession;
  std::string display;
  std::string xauthority;
  std::optional<uid_t> user;  // logind's sessions only
};

// The NUL-separated strings of a /proc file.
std::vector<std::string> read_proc_strings(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> items;
  std::string item;
  while (std::getline(in, item, '\0')) items.push_back(item);
  return items;
}

// The session leader's XAUTHORITY; logind names the leader in its session state file.
std::string leader_xauthority(const char* session) {
  std::ifstream state(std::string("/run/systemd/sessions/") + session);
  std::string line, leader;
  while (std::getline(state, line)) {
    if (line.starts_with("LEADER=")) leader = line.substr(std::strlen("LEADER="));
  }
  if (leader.empty() || leader.find_first_not_of("0123456789") != std::string::npos) return {};
  for (const auto& entry : read_proc_strings("/proc/" + leader + "/environ")) {
    if (entry.starts_with("XAUTHORITY=")) return entry.substr(std::strlen("XAUTHORITY="));
  }
  return {};
}

// The "-auth" file of the X server that serves `display`: display managers keep the greeter's
// (and often the user's) cookie there.
std::string server_xauthority(const std::string& display) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto args = read_proc_strings("/proc/" + pid + "/cmdline");
    bool serves = false;
    std::string auth;
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (args[i] == display) serves = true;
      if (args[i] == "-auth" && i + 1 < args.size()) auth = args[i + 1];
    }
    if (serves && !auth.empty()) return auth;
  }
  return {};
}

unsigned long session_number(const std::string& id) {
  if (!id.empty() && id.size() < 10 && id.find_first_not_of("0123456789") == std::string::npos) {
    return std::stoul(id);
  }
  return kNamedSessionBase + (std::hash<std::string>{}(id) % kNamedSessionBase);
}

// The display number of ":5", "host:5" or ":5.0".
std::optional<unsigned long> display_number(const std::string& display) {
  const auto colon = display.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::string rest = display.substr(colon + 1);
  const auto digits = rest.find_first_not_of("0123456789");
  const std::string number = rest.substr(0, digits);
  if (number.empty() || number.size() > 6) return std::nullopt;
  return std::stoul(number);
}

// The console file tells a root service whose display to serve, so only a file that no other
// account can have written counts; another is ignored, and said once for each reason.
std::optional<ConsoleDisplay> console_from_file() {
  static std::mutex told_lock;
  static std::string told;
  const std::filesystem::path path = under_install_root(kConsoleFile);
  std::string why;
  const std::optional<std::string> text = read_trusted_file(path, why);
  if (!text) {
    std::lock_guard<std::mutex> guard(told_lock);
    if (!why.empty() && why != told) {
      log_message("service: %s ignored: %s", path.c_str(), why.c_str());
    }
    told = why;
    return std::nullopt;
  }
  {
    std::lock_guard<std::mutex> guard(told_lock);
    told.clear();
  }
  std::istringstream lines(*text);
  std::string line;
  if (!std::getline(lines, line)) return std::nullopt;
  std::istringstream fields(line);
  ConsoleDisplay console;
  fields >> console.display >> console.xauthority;
  const auto number = display_number(console.display);
  if (!number) return std::nullopt;
  console.session = *number;
  return console;
}

// The console now: logind's X11 session on seat0, else the console file. A Wayland session
// there is logged once per session (`wayland_logged` remembers which).
ConsoleDisplay read_console_display(std::string& wayland_logged) {
  char* session = nullptr;
  if (sd_seat_get_active(kConsoleSeat, &session, nullptr) >= 0 && session) {
    ConsoleDisplay console;
    char* type = nullptr;
    char* display = nullptr;
    sd_session_get_type(session, &type);
    const std::string type_text = type ? type : "";
    if (type_text == "x11" && sd_session_get_display(session, &display) >= 0 && display) {
      console.session = session_number(session);
      console.display = display;
      console.xauthority = leader_xauthority(session);
      if (console.xauthority.empty()) console.xauthority = server_xauthority(display);
      uid_t user = 0;
      if (sd_session_get_uid(session, &user) >= 0) console.user = user;
    } else if (type_text == "wayland" && wayland_logged != session) {
      // Logged once per session, and no agent is started for it, so nothing restarts in a loop.
      // A person's GNOME session is served by the host started inside it (its tray): mutter's
      // interfaces are on that person's session bus, which the service's agent does not reach.
      char* session_class = nullptr;
      sd_session_get_class(session, &session_class);
      if (session_class && std::strcmp(session_class, "greeter") == 0) {
        log_message("session %s on %s is a Wayland greeter: it is not served", session,
                    kConsoleSeat);
      } else {
        log_message(
            "session %s on %s is a Wayland session: the service does not serve it; the tray "
            "started in it does",
            session, kConsoleSeat);
      }
      std::free(session_class);
      wayland_logged = session;
    }
    std::free(display);
    std::free(type);
    std::free(session);
    if (console.session != kNoConsoleSession) return console;
  }
  return console_from_file().value_or(ConsoleDisplay{});
}

class LinuxAgent : public AgentProcess {
 public:
  LinuxAgent(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
  ~LinuxAgent() override {
    if (!reaped_) {
      // Still running (nothing in the service drops a running agent): reap it whenever it ends.
      std::thread([pid = pid_] { waitpid(pid, nullptr, 0); }).detach();
    }
  }
  LinuxAgent(const LinuxAgent&) = delete;
  LinuxAgent& operator=(const LinuxAgent&) = delete;

  std::intptr_t wait_handle() const override { return pidfd_.get(); }
  unsigned long id() const override { return static_cast<unsigned long>(pid_); }
  bool ended(std::uint32_t timeout_ms) override {
    if (reaped_) return true;
    pollfd fd{pidfd_.get(), POLLIN, 0};
    const int wait_ms = timeout_ms == kWaitForever ? -1 : static_cast<int>(timeout_ms);
    int ready = 0;
    while ((ready = poll(&fd, 1, wait_ms)) < 0 && errno == EINTR) {
    }
    if (ready <= 0) return false;
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return true;
  }
  void terminate() override {
    kill(-pid_, SIGKILL);  // its process group: whatever it started goes with it
    kill(pid_, SIGKILL);
    ended(kWaitForever);
  }

 private:
  pid_t pid_;
  UniqueFd pidfd_;
  bool reaped_ = false;
};

// Starts `program --agent` with the display's variables, a clean signal mask and dispositions,
// and a process group of its own.
std::unique_ptr<AgentProcess> spawn_agent(const std::string& program,
                                          const ConsoleDisplay& console) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    // The service manager's notification socket belongs to the service, not to its agent.
    if (text.starts_with("DISPLAY=") || text.starts_with("XAUTHORITY=") ||
        text.starts_with("NOTIFY_SOCKET=")) {
      continue;
    }
    environment.emplace_back(text);
  }
  environment.push_back("DISPLAY=" + console.display);
  if (!console.xauthority.empty()) environment.push_back("XAUTHORITY=" + console.xauthority);
  SpawnOptions options;
  options.new_process_group = true;
  options.default_signals = true;
  pid_t pid = 0;
  const int error = spawn_program({program, "--agent"}, options, pid, &environment);
  if (error != 0) {
    log_message("CreateProcessAsUser failed (%lu)", static_cast<unsigned long>(error));
    return nullptr;
  }
  // Through syscall(): the C library of some supported systems has no wrapper yet.
  UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd.valid()) {
    const int open_error = errno;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    log_message("CreateProcessAsUser failed (%lu)", static_cast<unsigned long>(open_error));
    return nullptr;
  }
  log_message("agent started in session %lu (pid %lu)", console.session,
              static_cast<unsigned long>(pid));
  return std::make_unique<LinuxAgent>(pid, std::move(pidfd));
}

// Presses Control+Alt+Delete on `console`'s display through XTest. False when the display
// cannot be opened or has no XTest.
bool press_secure_attention_chord(const ConsoleDisplay& console) {
  // Xlib takes the cookie file from XAUTHORITY; only the service's loop thread reads or
  // changes the environment.
  const char* previous = std::getenv("XAUTHORITY");
  const std::string kept = previous ? previous : "";
  if (!console.xauthority.empty()) setenv("XAUTHORITY", console.xauthority.c_str(), 1);
  Display* display = XOpenDisplay(console.display.c_str());
  if (previous) {
    setenv("XAUTHORITY", kept.c_str(), 1);
  } else {
    unsetenv("XAUTHORITY");
  }
  if (!display) return false;
  int event_base = 0, error_base = 0, major = 0, minor = 0;
  bool pressed = false;
  if (XTestQueryExtension(display, &event_base, &error_base, &major, &minor)) {
    const KeySym chord[] = {XK_Control_L, XK_Alt_L, XK_Delete};
    for (KeySym key : chord) {
      XTestFakeKeyEvent(display, XKeysymToKeycode(display, key), True, CurrentTime);
    }
    for (int i = 2; i >= 0; --i) {
      XTestFakeKeyEvent(display, XKeysymToKeycode(display, chord[i]), False, CurrentTime);
    }
    XSync(display, False);
    pressed = true;
  }
  XCloseDisplay(display);
  return pressed;
}

class LinuxConsoleSessions : public ConsoleSessions {
 public:
  explicit LinuxConsoleSessions(std::function<void()> on_change)
      : on_change_(std::move(on_change)) {
    stop_fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (stop_fd_.valid() && on_change_) watcher_ = std::thread([this] { watch(); });
  }
  ~LinuxConsoleSessions() override {
    if (watcher_.joinable()) {
      const std::uint64_t one = 1;
      while (write(stop_fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
      }
      watcher_.join();
    }
  }
  LinuxConsoleSessions(const LinuxConsoleSessions&) = delete;
  LinuxConsoleSessions& operator=(const LinuxConsoleSessions&) = delete;

  unsigned long console_session() override {
    const ConsoleDisplay console = read_console_display(wayland_logged_);
    std::lock_guard<std::mutex> guard(lock_);
    if (console.session != kNoConsoleSession) displays_[console.session] = console;
    return console.session;
  }

  std::unique_ptr<AgentProcess> launch_agent(unsigned long session) override {
    ConsoleDisplay console;
    {
      std::lock_guard<std::mutex> guard(lock_);
      const auto found = displays_.find(session);
      if (found == displays_.end()) return nullptr;
      console = found->second;
    }
    return spawn_agent(to_utf8(module_path()), console);
  }

  std::function<bool()> find_secure_attention() override {
    return [this] {
      const ConsoleDisplay console = read_console_display(wayland_logged_);
      return console.session != kNoConsoleSession && press_secure_attention_chord(console);
    };
  }

 private:
  // Wakes the loop on logind's session and seat changes and on changes to the console file's
  // folder, until destroyed.
  void watch() {
    sd_login_monitor* monitor = nullptr;
    std::vector<pollfd> fds{{stop_fd_.get(), POLLIN, 0}};
    if (sd_login_monitor_new(nullptr, &monitor) >= 0) {
      fds.push_back({sd_login_monitor_get_fd(monitor), POLLIN, 0});
    }
    const UniqueFd inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (inotify.valid()) {
      const auto folder = under_install_root(kConsoleFile).parent_path();
      if (inotify_add_watch(inotify.get(), folder.c_str(),
                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE) >= 0) {
        fds.push_back({inotify.get(), POLLIN, 0});
      }
    }
    while (true) {
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents) break;
      if (monitor) sd_login_monitor_flush(monitor);
      if (inotify.valid()) {
        char events[4096];
        while (read(inotify.get(), events, sizeof events) > 0) {
        }
      }
      on_change_();
    }
    if (monitor) sd_login_monitor_unref(monitor);
  }

  std::function<void()> on_change_;
  std::mutex lock_;
  std::map<unsigned long, ConsoleDisplay> displays_;
  std::string wayland_logged_;
  UniqueFd stop_fd_;
  std::thread watcher_;
};

}  // namespace

unsigned long console_session_id() {
  std::string wayland_logged;
  return read_console_display(wayland_logged).session;
}

std::optional<ConsoleDesktop> console_desktop() {
  std::string wayland_logged;
  const ConsoleDisplay console = read_console_display(wayland_logged);
  if (console.session == kNoConsoleSession) return std::nullopt;
  return ConsoleDesktop{console.display, console.xauthority, console.user};
}

std::unique_ptr<ConsoleSessions> make_console_sessions(std::function<void()> on_change) {
  return std::make_unique<LinuxConsoleSessions>(std::move(on_change));
}

}  // namespace tolvi::platform
