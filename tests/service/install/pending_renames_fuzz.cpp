// The delete-at-restart list is written by every installer on the machine, not only by us:
// whatever it holds, reading it stays inside the data, and what stays after a cancel reads back
// unchanged once written.
#include <cstddef>
#include <cstdint>
#include <string>

#include "service/install/install_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string stored(size / 2, u'\0');
  for (std::size_t i = 0; i < stored.size(); ++i) {
    stored[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  const tolvi::PendingRenameEdit edit =
      tolvi::cancel_pending_deletes(stored, u"C:\\Program Files\\Tolvi");
  const tolvi::PendingRenameEdit again = tolvi::cancel_pending_deletes(
      tolvi::join_pending_renames(edit.remaining), u"C:\\Program Files\\Tolvi");
  if (again.dropped || again.remaining != edit.remaining) __builtin_trap();
  return 0;
}
