#include "service/install/install_rules.h"

#include <gtest/gtest.h>

namespace tolvi {
namespace {

using namespace std::string_literals;

constexpr char16_t kFolder[] = u"C:\\Program Files\\Tolvi";

TEST(PendingDeletes, OnlyDeletesInTheInstallFolderAreTakenOut) {
  struct Case {
    const char* what;
    std::u16string stored;
    bool dropped;
    std::vector<std::u16string> remaining;
  };
  const Case cases[] = {
      {"our delete, any case, with the object prefix",
       u"\\??\\c:\\program files\\TOLVI\\tolvi-host.exe\0\0\0"s,
       true,
       {}},
      {"renames and other folders stay, in order",
       u"\\??\\C:\\a.tmp\0\\??\\C:\\b.txt\0\\??\\C:\\Program Files\\Tolvi\\tolvi-host.exe\0\0"
       u"\\??\\C:\\Other\\x.dll\0\0\\??\\C:\\Program Files\\Tolvi\\keep.txt\0\\??\\D:\\moved.txt\0\0"s,
       true,
       {u"\\??\\C:\\a.tmp", u"\\??\\C:\\b.txt", u"\\??\\C:\\Other\\x.dll", u"",
        u"\\??\\C:\\Program Files\\Tolvi\\keep.txt", u"\\??\\D:\\moved.txt"}},
      {"a rename out of the folder is no delete",
       u"\\??\\C:\\Program Files\\Tolvi\\a\0b\0\0"s,
       false,
       {u"\\??\\C:\\Program Files\\Tolvi\\a", u"b"}},
      {"the folder's name alone is not inside it",
       u"\\??\\C:\\Program Files\\Tolvi2\\a\0\0\0"s,
       false,
       {u"\\??\\C:\\Program Files\\Tolvi2\\a", u""}},
      {"an empty string at an even count ends the list",
       u"\\??\\C:\\Other\\a\0\0\0\\??\\C:\\Program Files\\Tolvi\\b\0\0"s,
       false,
       {u"\\??\\C:\\Other\\a", u""}},
      {"data cut after a source's terminator: its target is empty",
       u"\\??\\C:\\Program Files\\Tolvi\\t.exe\0"s,
       true,
       {}},
      {"an unterminated source at the end is a delete",
       u"x\0y\0\\??\\C:\\Program Files\\Tolvi\\z"s,
       true,
       {u"x", u"y"}},
      {"so is one elsewhere, kept with its empty target",
       u"x\0y\0C:\\Other\\z"s,
       false,
       {u"x", u"y", u"C:\\Other\\z", u""}},
      {"no data", u""s, false, {}},
  };
  for (const Case& c : cases) {
    const PendingRenameEdit edit = cancel_pending_deletes(c.stored, kFolder);
    EXPECT_EQ(edit.dropped, c.dropped) << c.what;
    EXPECT_EQ(edit.remaining, c.remaining) << c.what;
  }
}

TEST(PendingDeletes, RemainingEntriesAreStoredWithTheirTerminators) {
  EXPECT_EQ(join_pending_renames({u"a", u"", u"B", u"c"}), u"a\0\0B\0c\0\0"s);
  const std::u16string stored = u"\\??\\C:\\Other\\x\0\0\\??\\C:\\PROGRAM FILES\\tolvi\\y\0\0"s;
  const auto edit = cancel_pending_deletes(stored, kFolder);
  // Written back and read again: what stayed reads the same, nothing more is dropped.
  const auto again = cancel_pending_deletes(join_pending_renames(edit.remaining), kFolder);
  EXPECT_FALSE(again.dropped);
  EXPECT_EQ(again.remaining, edit.remaining);
}

TEST(InstallRules, FoldCaseCoversNonAsciiFolderNames) {
  EXPECT_EQ(fold_case(u"C:\\PROGRAMME\\ÄÖÜ\\ΣΩ\\ПРОГРАММЫ\\Ł×"),
            u"c:\\programme\\äöü\\σω\\программы\\ł×");
}

TEST(InstallRules, EstimatedSizeIsKibibytesPlusOneOfTheLow32Bits) {
  const std::pair<std::uint64_t, std::uint32_t> cases[] = {
      {1024, 2}, {1000000, 977}, {0, 1}, {1023, 1}, {0x100000000ull + 2048, 3}};
  for (const auto& [bytes, kib] : cases) EXPECT_EQ(estimated_size_kib(bytes), kib) << bytes;
}

TEST(InstallRules, OtherCopiesStartWithTheProgramNameAndAreNoSetup) {
  const std::pair<const char*, bool> cases[] = {{"tolvi-host.exe", true},
                                                {"Tolvi-Host.exe", true},
                                                {"TOLVI-HOST", true},
                                                {"tolvi-host", true},
                                                {"tolvi-host-setup.exe", false},
                                                {"Tolvi-Host-SETUP.exe", false},
                                                {"tolvi-hos", false},
                                                {"my-tolvi-host", false},
                                                {"tolvi_host", false},
                                                {"", false}};
  for (const auto& [name, other] : cases) EXPECT_EQ(is_other_copy_name(name), other) << name;
}

TEST(InstallRules, UninstallEntryValuesInOrder) {
  const auto values = uninstall_entry_values("C:\\P\\Tolvi", "C:\\P\\Tolvi\\tolvi-host.exe", 1024);
  std::vector<std::string> names;
  for (const auto& v : values) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "DisplayName", "DisplayVersion", "Publisher", "URLInfoAbout", "HelpLink",
                       "DisplayIcon", "InstallLocation", "UninstallString", "QuietUninstallString",
                       "NoModify", "NoRepair", "EstimatedSize"}));
  EXPECT_EQ(std::get<std::string>(values[7].value), "\"C:\\P\\Tolvi\\tolvi-host.exe\" --uninstall");
  EXPECT_EQ(std::get<std::string>(values[8].value),
            "\"C:\\P\\Tolvi\\tolvi-host.exe\" --uninstall --quiet");
  EXPECT_TRUE(std::get<std::string>(values[3].value).starts_with("https://"));
  EXPECT_TRUE(std::get<std::string>(values[4].value).ends_with("/tolvi-support.html"));
  EXPECT_EQ(std::get<std::uint32_t>(values[11].value), 2u);
  // Without the file's size the entry has no size.
  EXPECT_EQ(uninstall_entry_values("d", "e", std::nullopt).size(), 11u);
}

}  // namespace
}  // namespace tolvi
