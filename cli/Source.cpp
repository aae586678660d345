#include "Source.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Report.h"
#include "Unicode.h"
#include "ravlin/Ravlin.h"

namespace ravlin::cli {
namespace {

bool IsDeviceName(const std::string& text) { return text.rfind("\\\\.\\", 0) == 0; }

// The sysfs path of a block device number, e.g. ".../block/sda/sda1"; empty when unknown.
std::string SysfsPath(dev_t device) {
    std::error_code ec;
    auto link = std::filesystem::path("/sys/dev/block") /
                (std::to_string(major(device)) + ":" + std::to_string(minor(device)));
    auto resolved = std::filesystem::canonical(link, ec);
    return ec ? std::string() : resolved.string();
}

}  // namespace

bool ResolveSource(const std::string& argument, Source& out, std::string& error) {
    out = Source();
    out.argument = argument;
    if (argument.empty()) {
        error = "no source given";
        return false;
    }
    std::string path = argument;
    if (IsDeviceName(argument)) {
        std::wstring wanted = FromUtf8(AsciiLower(argument));
        bool found = false;
        for (const auto& device : ListDevices()) {
            if (FromUtf8(AsciiLower(ToUtf8(device.name))) != wanted) continue;
            path = ToUtf8(device.target);
            found = true;
            break;
        }
        if (!found) {
            error = "cannot open " + Printable(argument) + ": no such device (see 'ravlin disks')";
            return false;
        }
        out.devicePath = FromUtf8(argument);
    } else {
        out.devicePath = FromUtf8(path);
    }
    out.localPath = path;
    // Without blocking: a FIFO would wait for a writer before its type could be looked at.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot open " + Printable(argument) + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = "cannot open " + Printable(argument) + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "cannot open " + Printable(argument) + ": " + std::strerror(EISDIR);
        ::close(fd);
        return false;
    }
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
        const char* what = S_ISFIFO(st.st_mode) ? "a pipe" : S_ISSOCK(st.st_mode) ? "a socket"
                           : S_ISCHR(st.st_mode) ? "a character device" : "not a file";
        error = "cannot scan " + Printable(argument) + ": " + what + ", not a disk or an image file";
        ::close(fd);
        return false;
    }
    if (S_ISBLK(st.st_mode)) {
        out.blockDevice = true;
        uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) out.sizeBytes = bytes;
    } else if (S_ISREG(st.st_mode)) {
        out.sizeBytes = static_cast<uint64_t>(st.st_size);
    }
    // One byte must be readable: a source that opens but cannot be read is no source.
    char byte = 0;
    ssize_t got = ::pread(fd, &byte, 1, 0);
    int readError = errno;
    ::close(fd);
    if (got < 0) {
        error = "cannot read " + Printable(argument) + ": " + std::strerror(readError);
        return false;
    }
    // A container holds media of its own size, read through its format.
    if (!out.blockDevice) {
        SourceDescription description;
        const bool opened = DescribeSource(FromUtf8(path), description);
        out.container = ToUtf8(description.container);
        if (!description.supported) {
            error = "cannot scan " + Printable(argument) + ": this build of ravlin cannot read " + out.container +
                    (out.container == "EWF2 (Ex01)"
                         ? " images (its libewf reads EWF version 1 only: acquire as E01, or convert with a newer ewfexport)"
                         : " images (it was built without the library for them)");
            return false;
        }
        if (!opened) {
            std::string why = std::strerror(EIO);
            if (out.container == "EWF (E01)") why = "a segment of the EWF (E01) image is missing or damaged";
            else if (out.container == "VMDK") why = "the VMDK image is damaged, or names extents that are missing or lie outside its folder";
            else if (!description.problem.empty()) why = ToUtf8(description.problem);
            else if (out.container != "raw") why = "the " + out.container + " image is damaged";
            error = "cannot open " + Printable(argument) + ": " + why;
            return false;
        }
        out.sizeBytes = description.sizeBytes;
        for (const auto& [name, value] : description.metadata) out.acquisition.emplace_back(ToUtf8(name), ToUtf8(value));
    }
    if (out.sizeBytes < 512) {
        error = "cannot scan " + Printable(argument) + ": smaller than one sector";
        return false;
    }
    return true;
}

bool OnSourceDevice(const Source& source, const std::filesystem::path& folder) {
    if (!source.blockDevice) return false;
    struct stat device {};
    if (::stat(source.localPath.c_str(), &device) != 0 || !S_ISBLK(device.st_mode)) return false;
    std::error_code ec;
    std::filesystem::path probe = std::filesystem::absolute(folder, ec);
    while (!probe.empty() && !std::filesystem::exists(probe, ec)) {
        if (probe == probe.parent_path()) break;
        probe = probe.parent_path();
    }
    struct stat target {};
    if (::stat(probe.c_str(), &target) != 0) return false;
    if (target.st_dev == device.st_rdev) return true;
    // A partition of the scanned disk sits below the disk in sysfs.
    std::string disk = SysfsPath(device.st_rdev);
    std::string holder = SysfsPath(target.st_dev);
    return !disk.empty() && !holder.empty() && holder.rfind(disk + "/", 0) == 0;
}

}  // namespace ravlin::cli
