#include "platform/linux/file_settings_backend.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "base/linux/install_root.h"
#include "base/secure_zero.h"
#include "platform/linux/trusted_file.h"
#include "platform/linux/unique_fd.h"
#include "platform/linux/user_command.h"
#include "platform/random.h"

namespace tolvi::platform {
namespace {

namespace fs = std::filesystem;

constexpr char kSettingsName[] = "settings";
constexpr char kLockName[] = "settings.lock";
// The machine's values that every local account may read (the signed-in person's tray needs
// them), copied out of the settings file, which holds the sealed secrets and is root's alone.
constexpr char kPublicName[] = "public-settings";
constexpr std::string_view kPublicValues[] = {"Installed", "Port", "AllowResolutionChange",
                                              "Status"};
constexpr mode_t kPrivateFile = 0600, kSharedFile = 0644;
constexpr mode_t kPrivateFolder = 0700, kSharedFolder = 0755;

bool is_public_value(std::string_view name) {
  for (std::string_view value : kPublicValues) {
    if (value == name) return true;
  }
  return false;
}

// Protected blob: magic, scope byte, 12-byte nonce, ciphertext, 16-byte tag. The magic and
// scope are authenticated as associated data, so a blob cannot be moved to the other scope.
constexpr std::uint8_t kBlobMagic[4] = {'T', 'V', 'P', '1'};
constexpr std::size_t kHeaderBytes = sizeof kBlobMagic + 1;
constexpr std::size_t kNonceBytes = 12, kTagBytes = 16, kKeyBytes = 32;
constexpr std::uint8_t kMachineScopeByte = 'M', kUserScopeByte = 'U';

ErrorCode error_from_errno(int error) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
    case ENOTDIR:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    default:
      return kErrorWriteFault;
  }
}

// The whole file, or nothing with errno set. With `owner`, only a regular file that account
// owns is read, and not through a link at the last step; a pipe or device there never blocks.
std::optional<std::string> read_file(const fs::path& path, std::optional<uid_t> owner = {}) {
  std::string why;
  if (!owner) return read_file_checked(path, nullptr, why);
  const FileTrust trust{{*owner}};
  return read_file_checked(path, &trust, why);
}

bool write_all(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

ErrorCode make_folder(const fs::path& folder, mode_t mode) {
  std::error_code ec;
  if (fs::is_directory(folder, ec)) return kErrorSuccess;
  fs::create_directories(folder.parent_path(), ec);
  if (mkdir(folder.c_str(), mode) != 0 && errno != EEXIST) return error_from_errno(errno);
  return kErrorSuccess;
}

// Writes a temporary file beside `path`, flushes it to disk and renames it over `path`, so a
// reader sees either the old or the new contents, never a mixture.
ErrorCode replace_file(const fs::path& path, std::string_view contents, mode_t mode) {
  // Appended piece by piece: GCC 12 at -O3 misreads "literal" + std::string&& as an
  // overlapping copy (-Wrestrict).
  std::string name = ".";
  name += path.filename().string();
  name += ".XXXXXX";
  std::string temp = (path.parent_path() / name).string();
  UniqueFd file(mkostemp(temp.data(), O_CLOEXEC));
  if (file.get() < 0) return error_from_errno(errno);
  const bool ok = fchmod(file.get(), mode) == 0 &&
                  write_all(file.get(), contents.data(), contents.size()) && fsync(file.get()) == 0;
  const int error = errno;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    const int rename_error = ok ? errno : error;
    unlink(temp.c_str());
    return error_from_errno(rename_error ? rename_error : EIO);
  }
  UniqueFd folder(open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) fsync(folder.get());
  return kErrorSuccess;
}

std::string time_stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

// A secret's file that an older version left readable by other accounts becomes its owner's
// alone, when this process is that owner.
void keep_private(const fs::path& file) {
  struct stat info {};
  if (lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
      (info.st_mode & 077) != 0) {
    chmod(file.c_str(), kPrivateFile);
  }
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// The scope's key: read from its file, or (when `create`) made from the system generator. Two
// processes creating it at once agree: the key is written to a temporary file and linked into
// place, which fails for the loser, who then reads the winner's key.
std::optional<std::array<std::uint8_t, kKeyBytes>> load_key(const SettingsLocation& where,
                                                            bool create) {
  std::array<std::uint8_t, kKeyBytes> key{};
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (auto data = read_file(where.key_file, where.borrowed_from)) {
      if (!where.borrowed_from) keep_private(where.key_file);
      const bool ok = data->size() == kKeyBytes;
      if (ok) std::memcpy(key.data(), data->data(), kKeyBytes);
      secure_zero(data->data(), data->size());
      if (ok) return key;
      return std::nullopt;  // a damaged key file is never replaced: blobs may depend on it
    }
    if (errno != ENOENT || !create || where.borrowed_from) return std::nullopt;
    const fs::path folder = where.key_file.parent_path();
    if (make_folder(folder, kPrivateFolder) != kErrorSuccess) return std::nullopt;
    if (!random_bytes(key.data(), key.size())) return std::nullopt;
    std::string temp = (folder / ".key.XXXXXX").string();
    UniqueFd file(mkostemp(temp.data(), O_CLOEXEC));
    if (file.get() < 0) return std::nullopt;
    const bool written = fchmod(file.get(), kPrivateFile) == 0 &&
                         write_all(file.get(), key.data(), key.size()) && fsync(file.get()) == 0;
    const bool linked = written && link(temp.c_str(), where.key_file.c_str()) == 0;
    unlink(temp.c_str());
    if (linked) return key;
    secure_zero(key.data(), key.size());
    if (!written || errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

// Removes `file` from its folder when that folder is `owner`'s own and not reached through a
// link at its last step. Nothing else in the folder changes, nor the folder's owner or mode.
ErrorCode remove_owned_entry(const fs::path& file, uid_t owner) {
  UniqueFd folder(
      open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0) return errno == ENOENT ? kErrorSuccess : error_from_errno(errno);
  struct stat info {};
  if (fstat(folder.get(), &info) != 0) return error_from_errno(errno);
  if (info.st_uid != owner) return kErrorAccessDenied;
  if (unlinkat(folder.get(), file.filename().c_str(), 0) != 0 && errno != ENOENT) {
    return error_from_errno(errno);
  }
  return kErrorSuccess;
}

// A user number as the environment gives it: decimal digits only.
std::optional<uid_t> parse_uid(const char* text) {
  if (!text || !text[0]) return std::nullopt;
  unsigned long long value = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(*c - '0');
    if (value > static_cast<uid_t>(-1)) return std::nullopt;
  }
  return static_cast<uid_t>(value);
}

fs::path config_home() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return config;
  const char* home = std::getenv("HOME");
  return fs::path(home && home[0] ? home : ".") / ".config";
}

}  // namespace

FileSettingsBackend::FileSettingsBackend(SettingsLocation machine, SettingsLocation user,
                                         UnreadableLineNotice notice)
    : machine_(std::move(machine)), user_(std::move(user)), notice_(std::move(notice)) {
  machine_.shared = true;
  user_.shared = false;
}

SettingsLocation FileSettingsBackend::default_machine_location() {
  return {under_install_root("/etc/tolvi-host"),
          under_install_root("/var/lib/tolvi-host/machine.key"),
          under_install_root("/etc/xdg/autostart/tolvi-host.desktop"), true};
}

std::optional<uid_t> FileSettingsBackend::elevating_user(const char* pkexec_uid,
                                                         const char* sudo_uid) {
  const auto uid = parse_uid(pkexec_uid ? pkexec_uid : sudo_uid);
  if (!uid || *uid == 0) return std::nullopt;
  return uid;
}

std::optional<fs::path> FileSettingsBackend::config_home_of_process(const fs::path& process_folder,
                                                                    uid_t uid) {
  static constexpr std::string_view kUidField = "\nUid:";
  static constexpr std::string_view kConfigHome = "XDG_CONFIG_HOME=";
  auto status = read_file(process_folder / "status");
  if (!status) return std::nullopt;
  status->insert(0, 1, '\n');  // every field, the first one too, follows a line break
  const std::size_t at = status->find(kUidField);
  if (at == std::string::npos) return std::nullopt;
  std::size_t start = status->find_first_not_of(" \t", at + kUidField.size());
  if (start == std::string::npos) return std::nullopt;
  const std::size_t end = status->find_first_of(" \t\n", start);
  if (parse_uid(status->substr(start, end - start).c_str()) != uid) return std::nullopt;

  const auto environment = read_file(process_folder / "environ");
  if (!environment) return std::nullopt;
  for (start = 0; start < environment->size();) {
    const std::size_t stop = std::min(environment->find('\0', start), environment->size());
    const std::string_view entry(environment->data() + start, stop - start);
    if (entry.starts_with(kConfigHome) && entry.size() > kConfigHome.size() &&
        entry[kConfigHome.size()] == '/') {
      return fs::path(entry.substr(kConfigHome.size()));
    }
    start = stop + 1;
  }
  return std::nullopt;
}

SettingsLocation FileSettingsBackend::borrowed_user_location(uid_t uid, const fs::path& config) {
  SettingsLocation where{config / "tolvi-host", config / "tolvi-host" / "user.key",
                         config / "autostart" / "tolvi-host.desktop", false};
  where.borrowed_from = uid;
  return where;
}

SettingsLocation FileSettingsBackend::default_user_location() {
  if (geteuid() == 0) {
    const auto uid = elevating_user(std::getenv("PKEXEC_UID"), std::getenv("SUDO_UID"));
    CommandUser user;
    if (uid && lookup_user(*uid, user) && !user.home.empty()) {
      const fs::path parent = fs::path("/proc") / std::to_string(getppid());
      return borrowed_user_location(
          *uid, config_home_of_process(parent, *uid).value_or(fs::path(user.home) / ".config"));
    }
  }
  const fs::path home = config_home();
  return {home / "tolvi-host", home / "tolvi-host" / "user.key",
          home / "autostart" / "tolvi-host.desktop", false};
}

const SettingsLocation& FileSettingsBackend::location(SettingsScope scope) const {
  return scope == SettingsScope::Machine ? machine_ : user_;
}

SettingsDocument FileSettingsBackend::parse_file(SettingsScope scope, std::string_view text) {
  SettingsDocument document = SettingsDocument::parse(text);
  const std::vector<int> unreadable = document.unreadable_lines();
  std::atomic<bool>& noticed = scope == SettingsScope::Machine ? noticed_machine_ : noticed_user_;
  if (!unreadable.empty() && notice_ && !noticed.exchange(true)) {
    notice_((location(scope).folder / kSettingsName).string(), unreadable.front());
  }
  return document;
}

std::optional<SettingValue> FileSettingsBackend::read_value(SettingsScope scope,
                                                            std::string_view name) {
  // No lock: the file is only ever replaced whole by rename.
  const SettingsLocation& where = location(scope);
  const auto text = read_file(where.folder / kSettingsName, where.borrowed_from);
  if (!text) {
    // Another account's process reads the machine's public values from their copy.
    if (where.shared && (errno == EACCES || errno == EPERM) && is_public_value(name)) {
      if (const auto copy = read_file(where.folder / kPublicName)) {
        return SettingsDocument::parse(*copy).find(name);
      }
    }
    return std::nullopt;
  }
  return parse_file(scope, *text).find(name);
}

std::optional<std::uint32_t> FileSettingsBackend::read_dword(SettingsScope scope,
                                                             std::string_view name) {
  const auto value = read_value(scope, name);
  if (!value || !std::holds_alternative<std::uint32_t>(*value)) return std::nullopt;
  return std::get<std::uint32_t>(*value);
}

std::optional<std::vector<std::uint8_t>> FileSettingsBackend::read_binary(SettingsScope scope,
                                                                          std::string_view name) {
  auto value = read_value(scope, name);
  if (!value || !std::holds_alternative<std::vector<std::uint8_t>>(*value)) return std::nullopt;
  return std::get<std::vector<std::uint8_t>>(std::move(*value));
}

std::optional<std::string> FileSettingsBackend::read_text(SettingsScope scope,
                                                          std::string_view name) {
  auto value = read_value(scope, name);
  if (!value || !std::holds_alternative<std::string>(*value)) return std::nullopt;
  return std::get<std::string>(std::move(*value));
}

ErrorCode FileSettingsBackend::write_value(SettingsScope scope, std::string_view name,
                                           SettingValue value) {
  // Reads the file, changes one line and writes it back, all under the scope's file lock.
  const SettingsLocation& where = location(scope);
  if (where.borrowed_from) return kErrorAccessDenied;
  if (ErrorCode e = make_folder(where.folder, where.shared ? kSharedFolder : kPrivateFolder)) {
    return e;
  }
  UniqueFd lock(
      open((where.folder / kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateFile));
  if (lock.get() < 0) return error_from_errno(errno);
  while (flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return error_from_errno(errno);
  }
  const fs::path path = where.folder / kSettingsName;
  SettingsDocument document;
  if (const auto text = read_file(path)) {
    document = parse_file(scope, *text);
    if (!document.is_text()) {
      // Not something a person wrote: keep it aside for recovery, and keep only what reads.
      const fs::path copy =
          where.folder / (std::string(kSettingsName) + ".corrupt-" + time_stamp());
      if (ErrorCode e = replace_file(copy, *text, kPrivateFile)) return e;
      document.drop_unreadable_lines();
    }
  } else if (errno != ENOENT) {
    return error_from_errno(errno);  // unreadable: never overwrite what we could not read
  }
  document.set(name, std::move(value));
  if (where.shared) {
    // The public copy first: a tray must never find the settings closed to it and no copy.
    SettingsDocument copy;
    for (std::string_view public_name : kPublicValues) {
      if (auto found = document.find(public_name)) copy.set(public_name, std::move(*found));
    }
    if (ErrorCode e = replace_file(where.folder / kPublicName, copy.format(), kSharedFile)) {
      return e;
    }
  }
  return replace_file(path, document.format(), kPrivateFile);
}

ErrorCode FileSettingsBackend::write_dword(SettingsScope scope, std::string_view name,
                                           std::uint32_t value) {
  return write_value(scope, name, value);
}

ErrorCode FileSettingsBackend::write_binary(SettingsScope scope, std::string_view name,
                                            const std::vector<std::uint8_t>& value) {
  return write_value(scope, name, value);
}

ErrorCode FileSettingsBackend::write_text(SettingsScope scope, std::string_view name,
                                          std::string_view value) {
  // Text values end at their first NUL, as registry strings do.
  return write_value(scope, name, std::string(value.substr(0, value.find('\0'))));
}

ErrorCode FileSettingsBackend::delete_all(SettingsScope scope) {
  const SettingsLocation& where = location(scope);
  if (where.borrowed_from) return kErrorAccessDenied;
  std::error_code ec;
  if (!fs::exists(where.folder / kSettingsName, ec)) return kErrorFileNotFound;
  UniqueFd lock(
      open((where.folder / kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateFile));
  if (lock.get() >= 0) flock(lock.get(), LOCK_EX);
  if (where.shared) unlink((where.folder / kPublicName).c_str());
  if (unlink((where.folder / kSettingsName).c_str()) != 0) return error_from_errno(errno);
  return kErrorSuccess;
}

std::optional<std::string> FileSettingsBackend::read_run_entry(SettingsScope scope) {
  const SettingsLocation& where = location(scope);
  const auto text = read_file(where.autostart_file, where.borrowed_from);
  if (!text) return std::nullopt;
  static constexpr std::string_view kExec = "\nExec=";
  const std::string body = "\n" + *text;
  const std::size_t at = body.find(kExec);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t start = at + kExec.size();
  return body.substr(start, body.find('\n', start) - start);
}

ErrorCode FileSettingsBackend::write_run_entry(SettingsScope scope,
                                               const std::optional<std::string>& command) {
  const SettingsLocation& where = location(scope);
  if (where.borrowed_from) {
    return command ? kErrorAccessDenied
                   : remove_owned_entry(where.autostart_file, *where.borrowed_from);
  }
  if (!command) {
    if (unlink(where.autostart_file.c_str()) != 0 && errno != ENOENT) {
      return error_from_errno(errno);
    }
    return kErrorSuccess;
  }
  if (ErrorCode e = make_folder(where.autostart_file.parent_path(), kSharedFolder)) return e;
  const std::string entry =
      "[Desktop Entry]\nType=Application\nName=Tolvi Host\nComment=Remote desktop host\n"
      "Exec=" +
      *command + "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
  return replace_file(where.autostart_file, entry, kSharedFile);
}

std::optional<std::vector<std::uint8_t>> FileSettingsBackend::protect(
    SettingsScope scope, const std::vector<std::uint8_t>& plain) {
  if (location(scope).borrowed_from) return std::nullopt;  // its key is never made here
  auto key = load_key(location(scope), true);
  if (!key) return std::nullopt;
  std::vector<std::uint8_t> blob(kHeaderBytes + kNonceBytes + plain.size() + kTagBytes);
  std::memcpy(blob.data(), kBlobMagic, sizeof kBlobMagic);
  blob[sizeof kBlobMagic] = scope == SettingsScope::Machine ? kMachineScopeByte : kUserScopeByte;
  std::uint8_t* nonce = blob.data() + kHeaderBytes;
  std::uint8_t* cipher = nonce + kNonceBytes;
  std::uint8_t* tag = cipher + plain.size();
  CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int length = 0;
  const bool ok =
      random_bytes(nonce, kNonceBytes) && ctx &&
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key->data(), nonce) == 1 &&
      EVP_EncryptUpdate(ctx.get(), nullptr, &length, blob.data(), kHeaderBytes) == 1 &&
      EVP_EncryptUpdate(ctx.get(), cipher, &length, plain.data(), int(plain.size())) == 1 &&
      EVP_EncryptFinal_ex(ctx.get(), cipher + length, &length) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, tag) == 1;
  secure_zero(key->data(), key->size());
  if (!ok) return std::nullopt;
  return blob;
}

std::optional<std::vector<std::uint8_t>> FileSettingsBackend::unprotect(
    const std::vector<std::uint8_t>& blob) {
  if (blob.size() < kHeaderBytes + kNonceBytes + kTagBytes ||
      std::memcmp(blob.data(), kBlobMagic, sizeof kBlobMagic) != 0) {
    return std::nullopt;
  }
  const std::uint8_t scope_byte = blob[sizeof kBlobMagic];
  if (scope_byte != kMachineScopeByte && scope_byte != kUserScopeByte) return std::nullopt;
  auto key = load_key(scope_byte == kMachineScopeByte ? machine_ : user_, false);
  if (!key) return std::nullopt;
  const std::uint8_t* nonce = blob.data() + kHeaderBytes;
  const std::uint8_t* cipher = nonce + kNonceBytes;
  const std::size_t size = blob.size() - kHeaderBytes - kNonceBytes - kTagBytes;
  std::vector<std::uint8_t> tag(cipher + size, cipher + size + kTagBytes);
  std::vector<std::uint8_t> plain(size);
  CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int length = 0;
  const bool ok =
      ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key->data(), nonce) == 1 &&
      EVP_DecryptUpdate(ctx.get(), nullptr, &length, blob.data(), kHeaderBytes) == 1 &&
      EVP_DecryptUpdate(ctx.get(), plain.data(), &length, cipher, int(size)) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, tag.data()) == 1 &&
      EVP_DecryptFinal_ex(ctx.get(), plain.data() + length, &length) == 1;
  secure_zero(key->data(), key->size());
  if (!ok) {
    secure_zero(plain.data(), plain.size());
    return std::nullopt;
  }
  return plain;
}

}  // namespace tolvi::platform

namespace tolvi {

std::unique_ptr<SettingsBackend> make_settings_backend(UnreadableLineNotice notice) {
  return std::make_unique<platform::FileSettingsBackend>(
      platform::FileSettingsBackend::default_machine_location(),
      platform::FileSettingsBackend::default_user_location(), std::move(notice));
}

}  // namespace tolvi
