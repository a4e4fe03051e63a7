#include "service/install/install_rules.h"

#include <algorithm>

namespace tolvi {
namespace {

constexpr char kPublisher[] = "Teaspoon Forge";
constexpr char kAboutPath[] = "/tolvi.html";
constexpr char kHelpPath[] = "/tolvi-support.html";
constexpr std::uint64_t kLow32Bits = 0xFFFFFFFFu;
constexpr std::uint32_t kBytesPerKib = 1024;

constexpr std::string_view kProgramPrefix = "tolvi-host";
constexpr std::string_view kSetupMark = "setup";

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

char16_t fold_unit(char16_t c) {
  if (c >= u'A' && c <= u'Z') return char16_t(c + 0x20);
  // Latin-1 capitals À..Þ except the multiplication sign.
  if (c >= 0x00C0 && c <= 0x00DE && c != 0x00D7) return char16_t(c + 0x20);
  // Latin Extended-A: capitals at even code points, small letters right after them (the
  // stretch 0x0139..0x0148 and 0x0179..0x017E has them the other way round).
  if (c >= 0x0100 && c <= 0x0137 && c % 2 == 0) return char16_t(c + 1);
  if (c >= 0x014A && c <= 0x0177 && c % 2 == 0) return char16_t(c + 1);
  if ((c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E)) {
    return c % 2 == 1 ? char16_t(c + 1) : c;
  }
  // Greek capitals Α..Ω (no letter at 0x03A2), Cyrillic Ѐ..Я.
  if (c >= 0x0391 && c <= 0x03A9 && c != 0x03A2) return char16_t(c + 0x20);
  if (c >= 0x0400 && c <= 0x040F) return char16_t(c + 0x50);
  if (c >= 0x0410 && c <= 0x042F) return char16_t(c + 0x20);
  return c;
}

}  // namespace

std::u16string fold_case(std::u16string_view text) {
  std::u16string folded(text);
  std::transform(folded.begin(), folded.end(), folded.begin(), fold_unit);
  return folded;
}

std::uint32_t estimated_size_kib(std::uint64_t bytes) {
  return static_cast<std::uint32_t>(bytes & kLow32Bits) / kBytesPerKib + 1;
}

std::string quoted_command(const std::string& executable, std::string_view arguments) {
  std::string command = "\"" + executable + "\"";
  if (!arguments.empty()) command.append(" ").append(arguments);
  return command;
}

std::vector<platform::UninstallValue> uninstall_entry_values(
    const std::string& install_directory, const std::string& executable,
    std::optional<std::uint64_t> executable_size) {
  const std::string site = kInstallSiteAddress;
  std::vector<platform::UninstallValue> values{
      {"DisplayName", std::string(kProductName)},
      {"DisplayVersion", std::string(kDisplayVersion)},
      {"Publisher", std::string(kPublisher)},
      {"URLInfoAbout", site + kAboutPath},
      {"HelpLink", site + kHelpPath},
      {"DisplayIcon", executable},
      {"InstallLocation", install_directory},
      {"UninstallString", quoted_command(executable, "--uninstall")},
      {"QuietUninstallString", quoted_command(executable, "--uninstall --quiet")},
      {"NoModify", std::uint32_t{1}},
      {"NoRepair", std::uint32_t{1}},
  };
  if (executable_size) values.push_back({"EstimatedSize", estimated_size_kib(*executable_size)});
  return values;
}

bool is_other_copy_name(std::string_view name) {
  if (name.size() < kProgramPrefix.size()) return false;
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(), lower_ascii);
  return lower.compare(0, kProgramPrefix.size(), kProgramPrefix) == 0 &&
         lower.find(kSetupMark) == std::string::npos;
}

PendingRenameEdit cancel_pending_deletes(std::u16string_view stored, std::u16string_view folder) {
  // Split into entries; an empty string is a pair's empty target after a source, else the end.
  std::vector<std::u16string_view> entries;
  std::size_t at = 0;
  while (at < stored.size()) {
    std::size_t end = stored.find(u'\0', at);
    if (end == std::u16string_view::npos) end = stored.size();  // unterminated: up to the end
    if (end == at && entries.size() % 2 == 0) break;
    entries.push_back(stored.substr(at, end - at));
    at = end + 1;
  }
  // A source at the very end (its target, or even its own terminator, cut off) pairs with the
  // empty target the zero padding of the read gives it: a delete, as the system reads it too.
  if (entries.size() % 2 == 1) entries.push_back(std::u16string_view());

  std::u16string needle = fold_case(folder);
  needle.push_back(u'\\');
  PendingRenameEdit edit;
  for (std::size_t i = 0; i < entries.size(); i += 2) {
    const bool is_delete = entries[i + 1].empty();
    if (is_delete && fold_case(entries[i]).find(needle) != std::u16string::npos) {
      edit.dropped = true;
      continue;
    }
    edit.remaining.emplace_back(entries[i]);
    edit.remaining.emplace_back(entries[i + 1]);
  }
  return edit;
}

std::u16string join_pending_renames(const std::vector<std::u16string>& entries) {
  std::u16string joined;
  for (const auto& entry : entries) {
    joined.append(entry);
    joined.push_back(u'\0');
  }
  joined.push_back(u'\0');
  return joined;
}

}  // namespace tolvi
