#pragma once
#include <map>
#include <string>
#include <variant>

#include "platform/settings_backend.h"

namespace tolvi {

// In-memory settings in two scopes. "Protection" tags the bytes with their scope so that a
// test can corrupt a blob or make protect() fail.
class FakeSettingsBackend : public SettingsBackend {
 public:
  using Value = std::variant<std::uint32_t, std::vector<std::uint8_t>, std::string>;
  std::map<std::string, Value> values[2];
  std::optional<std::string> run_entry[2];
  bool run_key_exists = true;
  bool fail_protect = false;
  int writes = 0;
  int unprotects = 0;

  static int index(SettingsScope s) { return s == SettingsScope::Machine ? 0 : 1; }
  std::map<std::string, Value>& of(SettingsScope s) { return values[index(s)]; }

  template <typename T>
  std::optional<T> get(SettingsScope s, std::string_view name) {
    auto it = of(s).find(std::string(name));
    if (it == of(s).end() || !std::holds_alternative<T>(it->second)) return std::nullopt;
    return std::get<T>(it->second);
  }
  std::optional<std::uint32_t> read_dword(SettingsScope s, std::string_view n) override {
    return get<std::uint32_t>(s, n);
  }
  std::optional<std::vector<std::uint8_t>> read_binary(SettingsScope s,
                                                       std::string_view n) override {
    return get<std::vector<std::uint8_t>>(s, n);
  }
  std::optional<std::string> read_text(SettingsScope s, std::string_view n) override {
    return get<std::string>(s, n);
  }
  ErrorCode write_dword(SettingsScope s, std::string_view n, std::uint32_t v) override {
    ++writes;
    of(s)[std::string(n)] = v;
    return kErrorSuccess;
  }
  ErrorCode write_binary(SettingsScope s, std::string_view n,
                         const std::vector<std::uint8_t>& v) override {
    ++writes;
    of(s)[std::string(n)] = v;
    return kErrorSuccess;
  }
  ErrorCode write_text(SettingsScope s, std::string_view n, std::string_view v) override {
    ++writes;
    of(s)[std::string(n)] = std::string(v);
    return kErrorSuccess;
  }
  ErrorCode delete_all(SettingsScope s) override {
    of(s).clear();
    return kErrorSuccess;
  }
  std::optional<std::string> read_run_entry(SettingsScope s) override {
    return run_entry[index(s)];
  }
  ErrorCode write_run_entry(SettingsScope s, const std::optional<std::string>& c) override {
    if (!run_key_exists) return kErrorFileNotFound;
    run_entry[index(s)] = c;
    return kErrorSuccess;
  }
  std::optional<std::vector<std::uint8_t>> protect(
      SettingsScope s, const std::vector<std::uint8_t>& plain) override {
    if (fail_protect) return std::nullopt;
    std::vector<std::uint8_t> blob{'P', std::uint8_t(index(s))};
    blob.insert(blob.end(), plain.begin(), plain.end());
    return blob;
  }
  std::optional<std::vector<std::uint8_t>> unprotect(
      const std::vector<std::uint8_t>& blob) override {
    ++unprotects;
    if (blob.size() < 2 || blob[0] != 'P') return std::nullopt;
    return std::vector<std::uint8_t>(blob.begin() + 2, blob.end());
  }

  // Stores a protected value as protect() would have.
  void put_secret(SettingsScope s, const std::string& name, const std::string& plain) {
    auto blob = *protect(s, std::vector<std::uint8_t>(plain.begin(), plain.end()));
    of(s)[name] = blob;
  }
  std::optional<std::string> secret(SettingsScope s, const std::string& name) {
    auto blob = read_binary(s, name);
    if (!blob) return std::nullopt;
    auto plain = unprotect(*blob);
    if (!plain) return std::nullopt;
    return std::string(plain->begin(), plain->end());
  }
};

}  // namespace tolvi
