#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/product.h"
#include "platform/installer.h"

namespace tolvi {

constexpr char kFirewallRuleName[] = "Tolvi Host";
constexpr char kServiceDescription[] =
    "Tolvi remote desktop host. Works at the sign-in screen, lock screen and UAC prompts.";
constexpr char kInstallSiteAddress[] = "https://tolvi.teaspoonforge.example";

// "Tolvi Host" in the list of installed programs, in the order the values are written.
// `executable_size` is left out when the installed file's size cannot be read.
std::vector<platform::UninstallValue> uninstall_entry_values(
    const std::string& install_directory, const std::string& executable,
    std::optional<std::uint64_t> executable_size);

// Kilobytes as the list of installed programs shows them: the low 32 bits of the size, / 1024,
// plus one.
std::uint32_t estimated_size_kib(std::uint64_t bytes);

// A double quote, the executable, a double quote and then " " + arguments when there are any.
std::string quoted_command(const std::string& executable, std::string_view arguments = {});

// Whether a running process of this name is another copy of the program to end before an
// installation or removal: it starts with "tolvi-host" (any case) and is not a setup program
// (the name, lower-cased, does not contain "setup").
bool is_other_copy_name(std::string_view process_name);

// The delete-at-restart list without the deletes of files in `folder`. `stored` is the list's
// data as read: NUL-terminated UTF-16 strings in (source, target) pairs, an empty target
// meaning "delete the source"; it may lack its final terminators (a source at the very end is
// a delete). An empty string ends the list unless it is the target of a pair. Renames and
// deletes elsewhere stay, in their order and in their stored spelling.
struct PendingRenameEdit {
  bool dropped = false;                   // some delete in `folder` was taken out
  std::vector<std::u16string> remaining;  // the entries left, sources and targets in turn
};
PendingRenameEdit cancel_pending_deletes(std::u16string_view stored, std::u16string_view folder);

// The entries in stored form: each followed by a NUL, the whole followed by one more NUL.
std::u16string join_pending_renames(const std::vector<std::u16string>& entries);

// Lower case for path comparisons: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic.
std::u16string fold_case(std::u16string_view text);

}  // namespace tolvi
