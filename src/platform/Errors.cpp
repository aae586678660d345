// errno to system error codes.
#include "platform/Errors.h"

#include <cerrno>

namespace ravlin::platform {

uint32_t ErrorFromErrno(int e) {
    switch (e) {
        case 0: return kErrorSuccess;
        case ENOENT:
        case ENOTDIR: return kErrorFileNotFound;
        case EACCES:
        case EPERM: return kErrorAccessDenied;
        case EBADF: return kErrorInvalidHandle;
        case ENOMEM: return kErrorNotEnoughMemory;
        case EROFS: return kErrorWriteProtect;
        case EBUSY: return kErrorBusy;
        case EINVAL: return kErrorInvalidParameter;
        case EIO: return kErrorIoDevice;
        case ENODEV:
        case ENXIO:
        case ENOMEDIUM: return kErrorNoSuchDevice;
        case ESTALE: return kErrorFileInvalid;
        case ECANCELED: return kErrorOperationAborted;
        case ETIMEDOUT: return kErrorTimeout;
        default: return kErrorGenFailure;
    }
}

}  // namespace ravlin::platform
