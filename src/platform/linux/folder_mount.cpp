// The client's shared folder on Linux: mounted with davfs2 under /media/tolvi when the host
// runs as root, otherwise through the console user's GIO (gvfs) so it shows in the file manager.
#include "platform/folder_mount.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "base/log.h"
#include "base/percent_encoding.h"
#include "davfs_mount_options.h"
#include "loopback_peer.h"
#include "platform/net.h"
#include "user_command.h"

namespace tolvi::platform {

namespace {

constexpr int kMountTimeoutMs = 60000;
constexpr int kUnmountTimeoutMs = 15000;
constexpr char kMountRoot[] = "/media/tolvi";
// davfs2's configuration for our mounts: no credentials asked, no locks (the client's server
// need not offer them), uploads at once, listings refreshed quickly (the client changes them).
constexpr char kDavfsConfigFolder[] = "/run/tolvi";
constexpr char kDavfsConfig[] =
    "ask_auth 0\n"
    "use_locks 0\n"
    "delay_upload 0\n"
    // Directory listings fail with EINVAL on recent kernels (6.16 on) with smaller buffers.
    "buf_size 64\n"
    "dir_refresh 1\n"
    "file_refresh 1\n";
// davfs2 keeps a copy of every file it opens. Its default cache outlives the mount, and every
// share has an address of its own, so each would leave a new folder holding the client's files
// on this PC's disk for good: each mount gets a cache folder of its own here instead, removed
// with it.
constexpr char kDavfsCacheRoot[] = "/var/cache/tolvi-host";
constexpr char kLoopbackUrl[] = "http://127.0.0.1:";
// The account mount.davfs's daemon changes to when root starts it (davfs2's dav_user, which
// only the system-wide davfs2.conf may set); the mount's WebDAV requests come from it.
constexpr char kDavfsDaemonUser[] = "davfs2";
constexpr uid_t kNoAccount = static_cast<uid_t>(-1);
constexpr int kMostMountPointTries = 100;
constexpr char kNoUserText[] = "Sign in on this PC to see the shared folder there.";
constexpr char kFailedText[] =
    "This PC couldn't open the shared folder. Make sure davfs2 (for the service) or GIO with "
    "gvfs-backends (in a desktop session) is installed on this PC.";

bool is_executable(const char* path) { return access(path, X_OK) == 0; }

std::string find_program(std::initializer_list<const char*> paths) {
  for (const char* path : paths) {
    if (is_executable(path)) return path;
  }
  return {};
}

// PORT/TOKEN/LABEL/ with the label percent-encoded for a URI (GIO), or as it is for davfs2,
// which encodes the path itself.
std::string share_path(const FolderMountRequest& request, bool encode) {
  return std::to_string(request.port) + "/" + request.token + "/" +
         (encode ? percent_encode(request.label) : request.label) + "/";
}

// A directory entry that may never be a mount point's name.
std::string mount_name(const std::string& label) {
  if (label.empty() || label == "." || label == "..") return "Shared folder";
  return label;
}

bool is_mount_point(const std::string& path) {
  struct stat self {
  }, parent{};
  if (stat(path.c_str(), &self) != 0 || stat((path + "/..").c_str(), &parent) != 0) return false;
  return self.st_dev != parent.st_dev;
}

// Removes a mount's cache folder and, when nothing else is left in it, the cache root.
void remove_cache_folder(const std::string& folder) {
  if (folder.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  rmdir(kDavfsCacheRoot);
}

// An empty cache folder for the mount on `port` that davfs2's daemon (group daemon_group) may
// write and nobody else may read; empty when it cannot be made (davfs2's default cache then).
std::string make_cache_folder(std::uint16_t port, gid_t daemon_group) {
  mkdir(kDavfsCacheRoot, 0755);
  const std::string folder = std::string(kDavfsCacheRoot) + "/share-" + std::to_string(port);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);  // one a crash left behind
  if (mkdir(folder.c_str(), 0700) != 0 || chown(folder.c_str(), 0, daemon_group) != 0 ||
      chmod(folder.c_str(), 0770) != 0) {
    log_message("share: cannot make the cache folder %s: %s", folder.c_str(),
                std::strerror(errno));
    remove_cache_folder(folder);
    return {};
  }
  return folder;
}

bool is_empty_directory(const std::string& path) {
  return rmdir(path.c_str()) == 0 && mkdir(path.c_str(), 0755) == 0;
}

// /media/tolvi/<label>, or "<label> (2)" and so on when that name is taken.
std::string free_mount_point(const std::string& label) {
  mkdir("/media", 0755);
  mkdir(kMountRoot, 0755);
  const std::string base = std::string(kMountRoot) + "/" + mount_name(label);
  for (int n = 1; n <= kMostMountPointTries; ++n) {
    const std::string path = n == 1 ? base : base + " (" + std::to_string(n) + ")";
    if (mkdir(path.c_str(), 0755) == 0) return path;
    if (errno == EEXIST && !is_mount_point(path) && is_empty_directory(path)) return path;
  }
  return {};
}

std::string first_line(const std::string& text) {
  const std::size_t end = text.find('\n');
  return end == std::string::npos ? text : text.substr(0, end);
}

class LinuxFolderMounter : public FolderMounter {
 public:
  FolderMountResult mount(const FolderMountRequest& request) override {
    const std::string davfs = find_program({"/usr/sbin/mount.davfs", "/sbin/mount.davfs"});
    if (geteuid() == 0 && !davfs.empty()) return mount_davfs(davfs, request);
    const std::string gio = find_program({"/usr/bin/gio", "/bin/gio"});
    if (!gio.empty()) return mount_gio(gio, request);
    log_message("share: neither davfs2 (as root) nor gio is available to mount the folder");
    return {};
  }

  void unmount() override {
    std::string output;
    int code = 0;
    if (!mount_point_.empty()) {
      run_command({"umount", mount_point_}, nullptr, kUnmountTimeoutMs, output, code);
      if (code != 0) {
        // The tunnel may be gone already: detach it rather than leave it behind.
        run_command({"umount", "-l", mount_point_}, nullptr, kUnmountTimeoutMs, output, code);
      }
      rmdir(mount_point_.c_str());
      std::remove(config_path_.c_str());
      remove_cache_folder(cache_folder_);
      cache_folder_.clear();
      mount_point_.clear();
    }
    if (!gio_url_.empty()) {
      run_command({gio_program_, "mount", "-u", gio_url_}, &gio_user_, kUnmountTimeoutMs, output,
                  code);
      gio_url_.clear();
    }
  }

  // Root, this process's account, the account the mount is for and the program that serves
  // the mount on its behalf: the token in the mount's source is readable by every account, so
  // it cannot be the only lock.
  bool allows_peer(const Socket& connection, std::string& peer) const override {
    std::vector<uid_t> accounts{0, geteuid()};
    for (const uid_t account : {mount_user_.load(), daemon_user_.load()}) {
      if (account != kNoAccount) accounts.push_back(account);
    }
    return loopback_peer_is_one_of(connection, accounts, peer);
  }

  std::string no_user_text() const override { return kNoUserText; }
  std::string failed_text() const override { return kFailedText; }

 private:
  FolderMountResult mount_davfs(const std::string& program, const FolderMountRequest& request) {
    CommandUser owner;
    if (!console_user(owner)) return {FolderMountOutcome::NoUser, {}, {}};
    CommandUser daemon;
    const bool have_daemon = lookup_user(kDavfsDaemonUser, daemon);
    mkdir(kDavfsConfigFolder, 0700);
    const std::string config =
        std::string(kDavfsConfigFolder) + "/davfs2-" + std::to_string(request.port) + ".conf";
    const std::string cache = have_daemon ? make_cache_folder(request.port, daemon.gid) : "";
    {
      std::ofstream out(config, std::ios::trunc);
      out << kDavfsConfig;
      if (!cache.empty()) out << "cache_dir " << cache << "\n";
      if (!out) {
        log_message("share: cannot write %s", config.c_str());
        remove_cache_folder(cache);
        return {};
      }
    }
    const std::string point = free_mount_point(request.label);
    if (point.empty()) {
      log_message("share: no free mount point for \"%s\" under %s", request.label.c_str(),
                  kMountRoot);
      std::remove(config.c_str());
      remove_cache_folder(cache);
      return {};
    }
    const std::string options =
        davfs_mount_options(owner.uid, owner.gid, config, request.read_only);
    const std::string url = kLoopbackUrl + share_path(request, false);
    // Allowed before the program starts: it connects while mounting.
    mount_user_ = owner.uid;
    daemon_user_ = have_daemon ? daemon.uid : kNoAccount;
    std::string output;
    int code = 0;
    if (!run_command({program, url, point, "-o", options}, nullptr, kMountTimeoutMs, output,
                     code)) {
      log_message("share: could not start %s", program.c_str());
      rmdir(point.c_str());
      std::remove(config.c_str());
      remove_cache_folder(cache);
      return {FolderMountOutcome::NoUser, {}, {}};
    }
    if (code != 0 || !is_mount_point(point)) {
      log_message("share: mount.davfs failed (%d): %s", code, output.c_str());
      rmdir(point.c_str());
      std::remove(config.c_str());
      remove_cache_folder(cache);
      return {};
    }
    mount_point_ = point;
    config_path_ = config;
    cache_folder_ = cache;
    return {FolderMountOutcome::Mounted, point, "is at " + point};
  }

  FolderMountResult mount_gio(const std::string& program, const FolderMountRequest& request) {
    CommandUser user;
    if (!console_user(user)) return {FolderMountOutcome::NoUser, {}, {}};
    const std::string url = "dav://127.0.0.1:" + share_path(request, true);
    // The user's own gvfs daemon serves the mount and its FUSE view lives in the user's
    // private runtime folder, so no other account reaches it; its requests come as the user.
    mount_user_ = user.uid;
    daemon_user_ = kNoAccount;
    std::string output;
    int code = 0;
    if (!run_command({program, "mount", url}, &user, kMountTimeoutMs, output, code)) {
      log_message("share: could not start %s", program.c_str());
      return {FolderMountOutcome::NoUser, {}, {}};
    }
    if (code != 0) {
      log_message("share: gio mount failed (%d): %s", code, first_line(output).c_str());
      return {};
    }
    gio_program_ = program;
    gio_url_ = url;
    gio_user_ = user;
    return {FolderMountOutcome::Mounted, url, "is in the file manager at " + url};
  }

  // Read by allows_peer on the accept thread.
  std::atomic<uid_t> mount_user_{kNoAccount};
  std::atomic<uid_t> daemon_user_{kNoAccount};
  std::string mount_point_;
  std::string config_path_;
  std::string cache_folder_;
  std::string gio_program_;
  std::string gio_url_;
  CommandUser gio_user_;
};

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// Undoes the octal escapes of /proc/self/mounts (a blank is \040).
std::string unescape_mount_field(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && field.size() - i > 3 && is_octal(field[i + 1]) &&
        is_octal(field[i + 2]) && is_octal(field[i + 3])) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

}  // namespace

std::unique_ptr<FolderMounter> make_folder_mounter() {
  return std::make_unique<LinuxFolderMounter>();
}

int test_run_as_user() {
  CommandUser user;
  const bool have_user = console_user(user);
  std::string output;
  int code = 0;
  const bool started = have_user && run_command({"sh", "-c", "id -un; mount -t fuse"}, &user,
                                                kMountTimeoutMs, output, code);
  log_message("test-run-as-user: system=%d started=%d exit=%lu\n%s", geteuid() == 0 ? 1 : 0,
              started ? 1 : 0, started ? static_cast<unsigned long>(code) : 0ul, output.c_str());
  return started ? 0 : 1;
}

void clean_stale_folder_mounts() {
  if (geteuid() != 0) return;
  std::ifstream mounts("/proc/self/mounts");
  const std::string root = std::string(kMountRoot) + "/";
  std::vector<std::string> stale;
  std::string source, target, rest;
  while (mounts >> source >> target && std::getline(mounts, rest)) {
    const std::string point = unescape_mount_field(target);
    if (point.rfind(root, 0) != 0 || source.rfind(kLoopbackUrl, 0) != 0) continue;
    // Another host on this machine may be serving it: only a mount whose tunnel port no
    // longer answers was left behind.
    const std::string after = source.substr(std::strlen(kLoopbackUrl));
    const long port = std::strtol(after.c_str(), nullptr, 10);
    if (port > 0 && port <= 65535 &&
        connect_to("127.0.0.1", static_cast<std::uint16_t>(port)).valid()) {
      continue;
    }
    stale.push_back(point);
  }
  for (const std::string& point : stale) {
    std::string output;
    int code = 0;
    run_command({"umount", "-l", point}, nullptr, kUnmountTimeoutMs, output, code);
    rmdir(point.c_str());
    log_message("share: removed a mount left behind at %s", point.c_str());
  }
}

}  // namespace tolvi::platform
