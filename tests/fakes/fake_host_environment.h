#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "core/connection.h"
#include "core/host_environment.h"
#include "core/session.h"
#include "fakes/recording_input_sink.h"

namespace tolvi {

// Every call a session makes into its subsystems, as "name" or "name arg...", in order, from
// any thread; with a tag per session so tests can tell sessions apart.
class EventLog {
 public:
  void add(std::string event) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      events_.push_back(std::move(event));
    }
    changed_.notify_all();
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(lock_);
    events_.clear();
  }
  // Position of the first event equal to `event`, or -1.
  int index_of(const std::string& event) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = std::find(events_.begin(), events_.end(), event);
    return it == events_.end() ? -1 : static_cast<int>(it - events_.begin());
  }
  bool wait_for(const std::string& event,
                std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, limit, [&] {
      return std::find(events_.begin(), events_.end(), event) != events_.end();
    });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

// The status the host reports: the current client ("" when none) and the last error, with
// waits for a change, so tests need not poll.
class FakeStatusObserver : public HostStatusObserver {
 public:
  void on_client_authenticated(const std::string& address) override { set(client_, address); }
  void on_client_gone() override { set(client_, ""); }
  void on_host_error(const std::string& text) override { set(error_, text); }
  void on_host_listening() override { set(error_, ""); }

  std::string client() {
    std::lock_guard<std::mutex> guard(lock_);
    return client_;
  }
  std::string error() {
    std::lock_guard<std::mutex> guard(lock_);
    return error_;
  }
  // True when the client status reads `expected` within the limit.
  bool wait_for_client(const std::string& expected,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return client_ == expected; });
  }

 private:
  void set(std::string& slot, const std::string& text) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      slot = text;
    }
    changed_.notify_all();
  }
  std::mutex lock_;
  std::condition_variable changed_;
  std::string client_;
  std::string error_;
};

// Subsystems that record what they were asked to do. Session numbers come from the order in
// which capture loops are made ("s1 capture run", "s2 capture run", ...).
class FakeHostEnvironment : public HostEnvironment {
 public:
  EventLog log;
  FakeStatusObserver status;
  std::uint8_t identity_key[32] = {7};
  std::string password = "correct horse";
  std::string name = "DESK-7";
  bool capture_device_works = true;
  std::optional<CaptureStats> stats;  // an encoder exists when set
  // How long the display restore takes, to show that a waiting session waits for it.
  std::chrono::milliseconds restore_time{0};

  bool load_identity_key(std::uint8_t key[32]) override {
    std::memcpy(key, identity_key, 32);
    return true;
  }
  std::string load_password() override { return password; }
  std::string computer_name() override { return name; }

  std::unique_ptr<SharedFolder> make_shared_folder(Session&) override {
    return std::make_unique<Folder>(*this, next_tag());
  }
  // The real injector over a sink that logs each finished event ("s1 key 0x1e 0x0008").
  std::unique_ptr<InputInjector> make_input_injector() override {
    const std::string tag = current_tag();
    return std::make_unique<InputInjector>(std::make_unique<RecordingInputSink>(
        platform::VirtualScreen{0, 0, 1920, 1080},
        [this, tag](const std::string& event) { log.add(tag + event); }));
  }
  std::unique_ptr<ClipboardSync> make_clipboard_sync() override {
    return std::make_unique<Clipboard>(*this, current_tag());
  }
  std::unique_ptr<CaptureLoop> make_capture_loop(Session& session) override {
    return std::make_unique<Capture>(*this, current_tag(), session.connection());
  }
  platform::KeepAwake& keep_awake() override { return keep_awake_; }
  DisplayController& display_controller() override { return display_; }
  void request_secure_attention() override { log.add("secure attention"); }
  HostStatusObserver& status_observer() override { return status; }

 private:
  std::string next_tag() {
    std::lock_guard<std::mutex> guard(tag_lock_);
    ++sessions_;
    return current_tag_locked();
  }
  std::string current_tag() {
    std::lock_guard<std::mutex> guard(tag_lock_);
    return current_tag_locked();
  }
  std::string current_tag_locked() { return "s" + std::to_string(sessions_) + " "; }

  struct Folder : SharedFolder {
    Folder(FakeHostEnvironment& e, std::string t) : env(e), tag(std::move(t)) {}
    void handle_folder_share(const std::vector<std::uint8_t>& p) override {
      env.log.add(tag + "folder share " + std::to_string(p.size()));
    }
    void handle_folder_traffic(std::uint8_t type, const std::vector<std::uint8_t>& p) override {
      env.log.add(tag + "folder traffic " + std::to_string(type) + " " + std::to_string(p.size()));
    }
    void stop_shared_folder() override { env.log.add(tag + "folder stop"); }
    FakeHostEnvironment& env;
    std::string tag;
  };
  struct Clipboard : ClipboardSync {
    Clipboard(FakeHostEnvironment& e, std::string t)
        : ClipboardSync(nullptr), env(e), tag(std::move(t)) {}
    void start(TextCallback cb) override {
      env.log.add(tag + "clipboard start");
      callback = std::move(cb);
    }
    void set_text(const std::string& text) override { env.log.add(tag + "clipboard " + text); }
    void stop() override { env.log.add(tag + "clipboard stop"); }
    FakeHostEnvironment& env;
    std::string tag;
    TextCallback callback;
  };
  struct Capture : CaptureLoop {
    Capture(FakeHostEnvironment& e, std::string t, Connection& c)
        : env(e), tag(std::move(t)), connection(c) {}
    bool init_capture_device() override {
      env.log.add(tag + "capture init");
      return env.capture_device_works;
    }
    void run() override {
      env.log.add(tag + "capture run");
      while (!connection.closed()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      env.log.add(tag + "capture end");
    }
    std::optional<CaptureStats> encoder_stats() const override { return env.stats; }
    void destroy_encoder() override { env.log.add(tag + "encoder destroyed"); }
    FakeHostEnvironment& env;
    std::string tag;
    Connection& connection;
  };
  struct Awake : platform::KeepAwake {
    explicit Awake(FakeHostEnvironment& e) : env(e) {}
    bool begin() override {
      env.log.add("awake begin");
      return true;
    }
    void end() override { env.log.add("awake end"); }
    FakeHostEnvironment& env;
  };
  struct Display : DisplayController {
    explicit Display(FakeHostEnvironment& e) : env(e) {}
    void set_device_name(const std::string&) override {}
    bool apply_client_display(std::int32_t, std::int32_t, double) override { return false; }
    void restore() override {
      std::this_thread::sleep_for(env.restore_time);
      env.log.add("display restored");
      log_message("fake display restored");
    }
    FakeHostEnvironment& env;
  };

  std::mutex tag_lock_;
  int sessions_ = 0;
  Awake keep_awake_{*this};
  Display display_{*this};
};

}  // namespace tolvi
