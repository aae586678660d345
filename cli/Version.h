#pragma once

namespace ravlin::cli {

inline constexpr const char* kHostVersion = RAVLIN_HOST_VERSION;

}  // namespace ravlin::cli
