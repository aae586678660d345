// Folders on the host file system.
#include "platform/Files.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/Text.h"

namespace ravlin::platform {

bool CreateDirectory(const std::wstring& path) {
    std::string p = WideToUtf8(path);
    if (::mkdir(p.c_str(), 0777) == 0) return true;
    struct stat st;
    return errno == EEXIST && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace ravlin::platform
