// The console session on Linux and the agents started into it.
//
// The console is logind's active session on seat0 when that is an X11 session (the greeter's
// included) or a person's Wayland session; where logind has no graphical seat (a container, a
// headless host), it is the desktop named in /etc/tolvi-host/console, one line:
//
//     :5 /path/to/Xauthority        an X display, its Xauthority file optional
//     wayland-0 alice               a Wayland display and the account (name or number) it is of
//
// For an X display the agent is this executable with "--agent", started with the service's own
// rights into that display (DISPLAY and XAUTHORITY: from the session leader's environment or
// else the X server's "-auth" argument). A Wayland session is served through mutter's
// interfaces on its person's session bus, so its agent runs as that person, with their
// runtime folder, bus and display. Such an agent cannot read the machine's secrets, which are
// root's alone: the service reads them and hands them over on an inherited socket, and writes
// the status the agent sends back (AgentHandOver). A Wayland greeter is not served (logged
// once). Every agent runs in a process group of its own, so that ending it ends what it started.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
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
#include <string_view>
#include <thread>
#include <vector>

#include "base/linux/install_root.h"
#include "base/log.h"
#include "base/secure_zero.h"
#include "platform/linux/agent_channel.h"
#include "platform/linux/console_desktop.h"
#include "platform/linux/spawn_program.h"
#include "platform/linux/trusted_file.h"
#include "platform/linux/unique_fd.h"
#include "platform/linux/user_command.h"
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

constexpr std::string_view kWaylandPrefix = "wayland-";

struct ConsoleDisplay {
  unsigned long session = kNoConsoleSession;
  std::string display;
  std::string xauthority;
  std::optional<uid_t> user;  // logind's sessions and the console file's Wayland line
  // A Wayland session: its display's socket name in the user's runtime folder.
  bool wayland = false;
  std::string wayland_display;
};

// The NUL-separated strings of a /proc file.
std::vector<std::string> read_proc_strings(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> items;
  std::string item;
  while (std::getline(in, item, '\0')) items.push_back(item);
  return items;
}

// A variable of the session leader's environment; logind names the leader in its session
// state file.
std::string leader_variable(const char* session, std::string_view name) {
  std::ifstream state(std::string("/run/systemd/sessions/") + session);
  std::string line, leader;
  while (std::getline(state, line)) {
    if (line.starts_with("LEADER=")) leader = line.substr(std::strlen("LEADER="));
  }
  if (leader.empty() || leader.find_first_not_of("0123456789") != std::string::npos) return {};
  const std::string prefix = std::string(name) + "=";
  for (const auto& entry : read_proc_strings("/proc/" + leader + "/environ")) {
    if (entry.starts_with(prefix)) return entry.substr(prefix.size());
  }
  return {};
}

// The account a console file names: a user name or number, never root's (a root desktop is
// served by an X11 agent or not at all).
std::optional<uid_t> console_file_user(const std::string& text) {
  CommandUser user;
  const bool number = !text.empty() && text.size() < 10 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  if (number ? !lookup_user(static_cast<uid_t>(std::stoul(text)), user)
             : !lookup_user(text, user)) {
    return std::nullopt;
  }
  if (user.uid == 0) return std::nullopt;
  return user.uid;
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
  if (console.display.starts_with(kWaylandPrefix)) {
    // "wayland-0 alice": the second field is the account, not an Xauthority file.
    console.user = console_file_user(console.xauthority);
    if (!console.user) {
      static std::once_flag told_user;
      std::call_once(told_user, [&] {
        log_message("service: %s names Wayland display %s without a known account other "
                    "than root; ignored",
                    path.c_str(), console.display.c_str());
      });
      return std::nullopt;
    }
    console.wayland = true;
    console.wayland_display = console.display;
    console.xauthority.clear();
    console.display.clear();
    console.session = session_number("file:" + console.wayland_display + ":" +
                                     std::to_string(*console.user));
    return console;
  }
  const auto number = display_number(console.display);
  if (!number) return std::nullopt;
  console.session = *number;
  return console;
}

// gdm's own account (Debian names it Debian-gdm), whose Wayland session is the sign-in screen.
bool is_greeter_account(uid_t uid) {
  CommandUser user;
  return lookup_user(uid, user) && (user.name == "gdm" || user.name == "Debian-gdm");
}

// The console now: logind's X11 session or a person's Wayland session on seat0, else the
// console file. A Wayland greeter is logged once per session (`greeter_logged` remembers which)
// and not served, so no agent restarts for it in a loop.
ConsoleDisplay read_console_display(std::string& greeter_logged) {
  char* session = nullptr;
  if (sd_seat_get_active(kConsoleSeat, &session, nullptr) >= 0 && session) {
    ConsoleDisplay console;
    char* type = nullptr;
    char* display = nullptr;
    char* session_class = nullptr;
    sd_session_get_type(session, &type);
    sd_session_get_class(session, &session_class);
    const std::string type_text = type ? type : "";
    uid_t user = 0;
    const bool has_user = sd_session_get_uid(session, &user) >= 0;
    const bool greeter = (session_class && std::strcmp(session_class, "greeter") == 0) ||
                         (has_user && is_greeter_account(user));
    if (type_text == "x11" && sd_session_get_display(session, &display) >= 0 && display) {
      console.session = session_number(session);
      console.display = display;
      console.xauthority = leader_variable(session, "XAUTHORITY");
      if (console.xauthority.empty()) console.xauthority = server_xauthority(display);
      if (has_user) console.user = user;
    } else if (type_text == "wayland" && !greeter && has_user) {
      console.session = session_number(session);
      console.wayland = true;
      console.user = user;
      console.wayland_display = leader_variable(session, "WAYLAND_DISPLAY");
      if (console.wayland_display.empty()) console.wayland_display = "wayland-0";
    } else if (type_text == "wayland" && greeter_logged != session) {
      log_message("session %s on %s is a Wayland greeter: it is not served", session,
                  kConsoleSeat);
      greeter_logged = session;
    }
    std::free(session_class);
    std::free(display);
    std::free(type);
    std::free(session);
    if (console.session != kNoConsoleSession) return console;
  }
  return console_from_file().value_or(ConsoleDisplay{});
}

// The service's end of a user agent's channel: hands the secrets over (again whenever they
// change) and passes what the agent sends back on, on a thread of its own, until either side
// closes.
class AgentLink {
 public:
  AgentLink(UniqueFd socket, AgentHandOver hand_over)
      : socket_fd_(socket.get()),
        channel_(make_socket_channel(std::move(socket))),
        hand_over_(std::move(hand_over)) {
    reader_ = std::thread([this] { read(); });
  }
  ~AgentLink() {
    close();
    reader_.join();
    secure_zero(sent_.data(), sent_.size());
  }
  AgentLink(const AgentLink&) = delete;
  AgentLink& operator=(const AgentLink&) = delete;

  // Sends the secrets when they differ from what the agent has.
  void refresh() {
    if (!hand_over_.secrets) return;
    std::vector<std::uint8_t> secrets = hand_over_.secrets();
    std::lock_guard<std::mutex> guard(lock_);
    if (!secrets.empty() && secrets != sent_ && channel_->send(secrets)) {
      secure_zero(sent_.data(), sent_.size());
      sent_.swap(secrets);
    }
    secure_zero(secrets.data(), secrets.size());
  }
  // The agent reads the end of its channel as the request to quit.
  void close() { shutdown(socket_fd_, SHUT_RDWR); }

 private:
  void read() {
    std::vector<std::uint8_t> message;
    while (channel_->receive(message)) {
      if (hand_over_.received) hand_over_.received(message);
    }
    if (hand_over_.gone) hand_over_.gone();
  }

  int socket_fd_;  // owned by channel_
  std::unique_ptr<AgentChannel> channel_;
  const AgentHandOver hand_over_;
  std::mutex lock_;
  std::vector<std::uint8_t> sent_;
  std::thread reader_;
};

class LinuxAgent : public AgentProcess {
 public:
  LinuxAgent(pid_t pid, UniqueFd pidfd, std::shared_ptr<AgentLink> link = nullptr)
      : pid_(pid), pidfd_(std::move(pidfd)), link_(std::move(link)) {}
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
  // A user agent cannot open the service's quit event: the end of its channel asks it to
  // restore the display and quit.
  void ask_to_quit() override {
    if (link_) link_->close();
  }
  void terminate() override {
    kill(-pid_, SIGKILL);  // its process group: whatever it started goes with it
    kill(pid_, SIGKILL);
    ended(kWaitForever);
  }

 private:
  pid_t pid_;
  UniqueFd pidfd_;
  std::shared_ptr<AgentLink> link_;
  bool reaped_ = false;
};

// The agent's environment: the service's, without what names another desktop, account or the
// service manager's socket, and with `added`.
std::vector<std::string> agent_environment(const std::vector<std::string>& added, bool as_user) {
  static constexpr std::string_view kDesktopVariables[] = {"DISPLAY=", "XAUTHORITY=",
                                                           "NOTIFY_SOCKET="};
  static constexpr std::string_view kAccountVariables[] = {
      "HOME=",        "USER=",        "LOGNAME=",          "SHELL=",
      "XDG_",         "WAYLAND_DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=", "MAIL=",
      "PIPEWIRE_", kAgentChannelVariable};
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    bool dropped = false;
    for (std::string_view name : kDesktopVariables) dropped = dropped || text.starts_with(name);
    if (as_user) {
      for (std::string_view name : kAccountVariables) dropped = dropped || text.starts_with(name);
    }
    if (!dropped) environment.emplace_back(text);
  }
  environment.insert(environment.end(), added.begin(), added.end());
  return environment;
}

// The started agent's pidfd, or nothing (the agent then is ended and reaped here).
UniqueFd agent_pidfd(pid_t pid) {
  // Through syscall(): the C library of some supported systems has no wrapper yet.
  UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd.valid()) {
    const int open_error = errno;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    log_message("CreateProcessAsUser failed (%lu)", static_cast<unsigned long>(open_error));
  }
  return pidfd;
}

// Starts `program --agent` as the Wayland session's person, with their groups, folder,
// runtime folder, session bus and display, and the agent's end of a channel at descriptor 3.
std::unique_ptr<AgentProcess> spawn_user_agent(const std::string& program,
                                               const ConsoleDisplay& console,
                                               const AgentHandOver& hand_over,
                                               std::weak_ptr<AgentLink>& link_out) {
  CommandUser user;
  if (!console.user || !lookup_user(*console.user, user)) {
    log_message("CreateProcessAsUser failed (%lu): no account %lu", 0ul,
                static_cast<unsigned long>(console.user.value_or(0)));
    return nullptr;
  }
  const std::string runtime =
      under_install_root("/run/user/" + std::to_string(user.uid)).string();
  const std::vector<std::string> environment = agent_environment(
      {"HOME=" + user.home, "USER=" + user.name, "LOGNAME=" + user.name,
       "XDG_RUNTIME_DIR=" + runtime, "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus",
       "XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=" + console.wayland_display,
       std::string(kAgentChannelVariable) + "=" + std::to_string(kAgentChannelFd)},
      true);
  UniqueFd ours, theirs;
  if (!make_channel_pair(ours, theirs)) {
    log_message("CreateProcessAsUser failed (%lu)", static_cast<unsigned long>(errno));
    return nullptr;
  }
  SpawnOptions options;
  options.descriptors = {{theirs.get(), kAgentChannelFd}};
  options.close_from_3 = true;
  options.new_process_group = true;
  options.default_signals = true;
  options.working_folder = user.home;
  options.identity = SpawnIdentity{user.uid, user.gid, account_groups(user)};
  pid_t pid = 0;
  const int error = spawn_program({program, "--agent"}, options, pid, &environment);
  theirs.reset();
  if (error != 0) {
    log_message("CreateProcessAsUser failed (%lu)", static_cast<unsigned long>(error));
    return nullptr;
  }
  UniqueFd pidfd = agent_pidfd(pid);
  if (!pidfd.valid()) return nullptr;
  auto link = std::make_shared<AgentLink>(std::move(ours), hand_over);
  link->refresh();
  link_out = link;
  log_message("agent started in session %lu (pid %lu) as %s on Wayland display %s",
              console.session, static_cast<unsigned long>(pid), user.name.c_str(),
              console.wayland_display.c_str());
  return std::make_unique<LinuxAgent>(pid, std::move(pidfd), std::move(link));
}

// Starts `program --agent` with the display's variables, a clean signal mask and dispositions,
// and a process group of its own.
std::unique_ptr<AgentProcess> spawn_agent(const std::string& program,
                                          const ConsoleDisplay& console) {
  std::vector<std::string> added{"DISPLAY=" + console.display};
  if (!console.xauthority.empty()) added.push_back("XAUTHORITY=" + console.xauthority);
  const std::vector<std::string> environment = agent_environment(added, false);
  SpawnOptions options;
  options.new_process_group = true;
  options.default_signals = true;
  pid_t pid = 0;
  const int error = spawn_program({program, "--agent"}, options, pid, &environment);
  if (error != 0) {
    log_message("CreateProcessAsUser failed (%lu)", static_cast<unsigned long>(error));
    return nullptr;
  }
  UniqueFd pidfd = agent_pidfd(pid);
  if (!pidfd.valid()) return nullptr;
  log_message("agent started in session %lu (pid %lu)", console.session,
              static_cast<unsigned long>(pid));
  return std::make_unique<LinuxAgent>(pid, std::move(pidfd));
}

// Presses Control+Alt+Delete on `console`'s display through XTest. False when the display
// cannot be opened or has no XTest.
bool press_secure_attention_chord(const ConsoleDisplay& console) {
  // A Wayland session's agent presses the chord through its own keyboard path.
  if (console.wayland) return false;
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
    const ConsoleDisplay console = read_console_display(greeter_logged_);
    std::shared_ptr<AgentLink> link;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (console.session != kNoConsoleSession) displays_[console.session] = console;
      link = link_.lock();
    }
    // A password set meanwhile reaches the running user agent.
    if (link) link->refresh();
    return console.session;
  }

  void set_agent_hand_over(AgentHandOver hand_over) override {
    std::lock_guard<std::mutex> guard(lock_);
    hand_over_ = std::move(hand_over);
  }

  std::unique_ptr<AgentProcess> launch_agent(unsigned long session) override {
    ConsoleDisplay console;
    {
      std::lock_guard<std::mutex> guard(lock_);
      const auto found = displays_.find(session);
      if (found == displays_.end()) return nullptr;
      console = found->second;
    }
    if (!console.wayland) return spawn_agent(to_utf8(module_path()), console);
    AgentHandOver hand_over;
    {
      std::lock_guard<std::mutex> guard(lock_);
      hand_over = hand_over_;
    }
    std::weak_ptr<AgentLink> link;
    std::unique_ptr<AgentProcess> agent =
        spawn_user_agent(to_utf8(module_path()), console, hand_over, link);
    std::lock_guard<std::mutex> guard(lock_);
    link_ = link;
    return agent;
  }

  std::function<bool()> find_secure_attention() override {
    return [this] {
      const ConsoleDisplay console = read_console_display(greeter_logged_);
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
  AgentHandOver hand_over_;
  std::weak_ptr<AgentLink> link_;  // the running user agent's
  std::string greeter_logged_;
  UniqueFd stop_fd_;
  std::thread watcher_;
};

}  // namespace

unsigned long console_session_id() {
  std::string greeter_logged;
  return read_console_display(greeter_logged).session;
}

std::optional<ConsoleDesktop> console_desktop() {
  std::string greeter_logged;
  const ConsoleDisplay console = read_console_display(greeter_logged);
  if (console.session == kNoConsoleSession || console.wayland) return std::nullopt;
  return ConsoleDesktop{console.display, console.xauthority, console.user};
}

std::unique_ptr<ConsoleSessions> make_console_sessions(std::function<void()> on_change) {
  return std::make_unique<LinuxConsoleSessions>(std::move(on_change));
}

}  // namespace tolvi::platform
