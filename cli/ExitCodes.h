// Exit codes of the ravlin host, after sysexits.h.
#pragma once

namespace ravlin::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 64;        // a bad option or argument
inline constexpr int kExitDataError = 65;    // a saved scan that does not fit or is damaged; an image
                                             // whose data does not match its stored hash
inline constexpr int kExitNoInput = 66;      // the source cannot be opened
inline constexpr int kExitCantCreate = 73;   // an output file or folder cannot be created
inline constexpr int kExitIoError = 74;      // reading the source or writing output failed
inline constexpr int kExitInterrupted = 130;  // stopped by Ctrl-C (SIGINT)

}  // namespace ravlin::cli
