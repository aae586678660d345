// System error codes as the rest of the system tests them (Windows numbering), mapped from
// errno:
//   ENOENT, ENOTDIR              2     file not found
//   EACCES, EPERM                5     access denied
//   EBADF                        6     invalid handle
//   ENOMEM                       8     not enough memory
//   EROFS                        19    write protected
//   EBUSY                        170   busy
//   EINVAL                       87    invalid parameter
//   EIO                          1117  I/O device error
//   ENODEV, ENXIO, ENOMEDIUM     433   no such device (the device went away)
//   ESTALE                       1006  file invalid (the volume changed under the handle)
//   ECANCELED                    995   operation aborted
//   ETIMEDOUT                    1460  timeout
//   a short read at the end      38    end of file
//   anything else                31    general failure
// The reader treats 2, 1006 and 433 as a lost device.
#pragma once

#include <cstdint>

namespace ravlin::platform {

inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorWriteProtect = 19;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorHandleEof = 38;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorBusy = 170;
inline constexpr uint32_t kErrorNoSuchDevice = 433;
inline constexpr uint32_t kErrorOperationAborted = 995;
inline constexpr uint32_t kErrorFileInvalid = 1006;
inline constexpr uint32_t kErrorIoDevice = 1117;
inline constexpr uint32_t kErrorTimeout = 1460;

uint32_t ErrorFromErrno(int errnoValue);

inline bool IsDeviceLostError(uint32_t error) {
    return error == kErrorFileNotFound || error == kErrorFileInvalid ||
           error == kErrorNoSuchDevice;
}

}  // namespace ravlin::platform
