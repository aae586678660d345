// Folders on the host file system.
#pragma once

#include <string>

namespace ravlin::platform {

// Creates one folder; true when it exists afterwards.
bool CreateDirectory(const std::wstring& path);

}  // namespace ravlin::platform
