#pragma once
// The user's folders as the desktop names them.
#include <string>

namespace veldmoor::platform {

// $XDG_DATA_HOME, else ~/.local/share.
std::string UserDataFolder();
// The desktop's download folder (xdg-user-dir DOWNLOAD), else ~/Downloads
// when it exists, else the home folder.
std::string UserDownloadFolder();
// The process's working folder ("" when it cannot be read).
std::string CurrentFolder();
// Local time in strftime's `format` ("%Y-%m-%d %X").
std::string LocalTimeText(const char* format);

}  // namespace veldmoor::platform
