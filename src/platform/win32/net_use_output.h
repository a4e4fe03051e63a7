#pragma once
#include <string>

namespace tolvi::platform {

// The drive letter `net use *` names in its output: the first upper-case ASCII letter followed
// by a colon that starts the output or follows a byte that is not a letter. 0 when there is none
// (or the output is shorter than 2 bytes).
char drive_letter_in(const std::string& output);

// "HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\MountPoints2\##localhost@PORT#TOKEN#LABEL",
// where File Explorer finds a network drive's label.
std::u16string mount_points_label_key(unsigned port, const std::string& token,
                                      const std::u16string& label);

// "\\localhost@PORT\TOKEN\LABEL": the WebDAV share behind the tunnel, as net use takes it.
std::u16string webdav_share_path(unsigned port, const std::string& token,
                                 const std::u16string& label);

}  // namespace tolvi::platform
