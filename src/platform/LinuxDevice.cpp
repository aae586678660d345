// The Linux side of devices: file and block-device backends, sysfs queries, the device table.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "platform/Containers.h"
#include "platform/DeviceTable.h"
#include "platform/Errors.h"
#include "platform/Text.h"

namespace ravlin::platform {
namespace {

std::string ReadSysfs(const std::string& path) {
    std::ifstream in(path);
    std::string value;
    std::getline(in, value);
    return value;
}

bool PathExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Whether the page cache holds the pages of [offset, offset + length) of the file: all of them,
// or for `mostly` at least half. Asked without reading anything (cachestat, Linux 6.5); false
// where the kernel cannot tell.
bool Cached(int fd, uint64_t offset, uint32_t length, bool mostly) {
#ifdef __NR_cachestat
    constexpr long kCachestat = __NR_cachestat;
#else
    constexpr long kCachestat = 451;  // older headers; the number is the same on every architecture
#endif
    static std::atomic<bool> unsupported{false};
    if (length == 0 || unsupported.load(std::memory_order_relaxed)) return false;
    struct {
        uint64_t offset;
        uint64_t length;
    } range{offset, length};
    struct {
        uint64_t cache, dirty, writeback, evicted, recentlyEvicted;
    } stat{};
    if (::syscall(kCachestat, fd, &range, &stat, 0) != 0) {
        if (errno == ENOSYS) unsupported.store(true, std::memory_order_relaxed);
        return false;
    }
    static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const uint64_t pages = (offset + length + page - 1) / page - offset / page;
    return mostly ? 2 * stat.cache >= pages : stat.cache >= pages;
}

// Reads an image file or a block device. Never opened for writing.
class FileBackend final : public DeviceBackend {
public:
    FileBackend(std::string path, int directFd, int bufferedFd, bool isBlock, dev_t rdev)
        : path_(std::move(path)),
          directFd_(directFd),
          bufferedFd_(bufferedFd),
          isBlock_(isBlock),
          rdev_(rdev) {}
    ~FileBackend() override {
        if (directFd_ >= 0) ::close(directFd_);
        if (bufferedFd_ >= 0) ::close(bufferedFd_);
    }

    IoResult ReadAt(uint8_t* destination, uint64_t offset, uint32_t length) override {
        bool aligned = offset % 512 == 0 && length % 512 == 0;
        // Reads go past the page cache, except where it already holds what they ask for (an
        // image just written or read): copying that from memory is faster than reading it
        // again. An image file mostly held there is read through it; a disk only when all of
        // the range is, so that a failing one is never read ahead.
        if (directFd_ >= 0 && aligned && !Cached(bufferedFd_, offset, length, !isBlock_)) {
            IoResult result = ReadLoop(directFd_, destination, offset, length);
            // Direct I/O refused for this alignment (4096-byte sectors): read it buffered.
            if (result.errnoValue != EINVAL) return Classify(result);
        }
        return Classify(ReadLoop(bufferedFd_, destination, offset, length));
    }

    std::optional<uint64_t> SizeBytes() override {
        int fd = bufferedFd_;
        struct stat st;
        if (::fstat(fd, &st) != 0) return std::nullopt;
        if (S_ISBLK(st.st_mode)) {
            uint64_t bytes = 0;
            if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return std::nullopt;
            return bytes;
        }
        if (S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
        return std::nullopt;
    }

    std::optional<std::vector<DiskExtent>> VolumeExtents() override {
        if (!isBlock_) return std::nullopt;
        std::string sys = "/sys/dev/block/" + std::to_string(major(rdev_)) + ":" +
                          std::to_string(minor(rdev_));
        if (!PathExists(sys + "/partition")) return std::nullopt;
        std::string start = ReadSysfs(sys + "/start");
        std::string size = ReadSysfs(sys + "/size");
        char resolved[PATH_MAX];
        if (!::realpath((sys + "/..").c_str(), resolved)) return std::nullopt;
        std::string parent = resolved;
        std::string parentName = parent.substr(parent.find_last_of('/') + 1);
        auto disks = PhysicalDiskPaths();
        for (size_t i = 0; i < disks.size(); ++i) {
            if (disks[i] == "/dev/" + parentName) {
                DiskExtent extent;
                extent.diskNumber = static_cast<uint32_t>(i);
                extent.startingOffset = std::strtoull(start.c_str(), nullptr, 10) * 512;
                extent.length = std::strtoull(size.c_str(), nullptr, 10) * 512;
                return std::vector<DiskExtent>{extent};
            }
        }
        return std::nullopt;
    }

    std::wstring Describe() const override { return Utf8ToWide(path_); }

private:
    static IoResult ReadLoop(int fd, uint8_t* destination, uint64_t offset, uint32_t length) {
        IoResult result;
        while (result.transferred < length) {
            ssize_t n = ::pread(fd, destination + result.transferred, length - result.transferred,
                                static_cast<off_t>(offset + result.transferred));
            if (n < 0) {
                if (errno == EINTR) continue;
                result.errnoValue = errno;
                return result;
            }
            if (n == 0) break;  // end of file
            result.transferred += static_cast<uint32_t>(n);
        }
        return result;
    }

    // A block device that has left the system fails with EIO; report it as gone.
    IoResult Classify(IoResult result) const {
        if (result.errnoValue == 0 || !isBlock_) return result;
        std::string sys = "/sys/dev/block/" + std::to_string(major(rdev_)) + ":" +
                          std::to_string(minor(rdev_));
        if (!PathExists(sys)) result.errnoValue = ENODEV;
        return result;
    }

    std::string path_;
    int directFd_;
    int bufferedFd_;
    bool isBlock_;
    dev_t rdev_;
};

// A registered volume: reads its target, and knows its extent on a physical drive.
class RegisteredVolumeBackend final : public DeviceBackend {
public:
    RegisteredVolumeBackend(std::shared_ptr<DeviceBackend> inner, int diskNumber, uint64_t offset)
        : inner_(std::move(inner)), diskNumber_(diskNumber), offset_(offset) {}
    IoResult ReadAt(uint8_t* d, uint64_t o, uint32_t l) override { return inner_->ReadAt(d, o, l); }
    std::optional<uint64_t> SizeBytes() override { return inner_->SizeBytes(); }
    std::optional<std::vector<DiskExtent>> VolumeExtents() override {
        if (diskNumber_ < 0) return inner_->VolumeExtents();
        DiskExtent extent;
        extent.diskNumber = static_cast<uint32_t>(diskNumber_);
        extent.startingOffset = offset_;
        extent.length = inner_->SizeBytes().value_or(0);
        return std::vector<DiskExtent>{extent};
    }
    std::wstring Describe() const override { return inner_->Describe(); }

private:
    std::shared_ptr<DeviceBackend> inner_;
    int diskNumber_;
    uint64_t offset_;
};

// ---- device table ----

std::mutex tableLock;
std::map<std::wstring, RegisteredDevice>& Table() {
    static auto* table = new std::map<std::wstring, RegisteredDevice>();
    return *table;
}

std::wstring Key(const std::wstring& name) {
    std::wstring key = name;
    for (auto& c : key) c = AsciiLower(c);
    return key;
}

const std::wstring kPrefix = L"\\\\.\\";
const std::wstring kPhysicalPrefix = L"\\\\.\\physicaldrive";

// "\\.\X:" (exactly) gives the upper-case letter, else 0.
wchar_t VolumeLetter(const std::wstring& name) {
    if (name.size() != 6 || !IsDeviceNamespacePath(name) || name[5] != L':') return 0;
    wchar_t c = name[4];
    if (c >= L'a' && c <= L'z') c = c - L'a' + L'A';
    return c >= L'A' && c <= L'Z' ? c : 0;
}

std::optional<uint32_t> PhysicalNumber(const std::wstring& name) {
    std::wstring key = Key(name);
    if (key.size() <= kPhysicalPrefix.size() || key.compare(0, kPhysicalPrefix.size(), kPhysicalPrefix) != 0)
        return std::nullopt;
    uint64_t n = 0;
    for (size_t i = kPhysicalPrefix.size(); i < key.size(); ++i) {
        if (key[i] < L'0' || key[i] > L'9') return std::nullopt;
        n = n * 10 + static_cast<uint64_t>(key[i] - L'0');
        if (n > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<uint32_t>(n);
}

// Natural order: digit runs compare by value.
bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t i2 = i, j2 = j;
            while (i2 < a.size() && std::isdigit(static_cast<unsigned char>(a[i2]))) ++i2;
            while (j2 < b.size() && std::isdigit(static_cast<unsigned char>(b[j2]))) ++j2;
            unsigned long long x = std::stoull(a.substr(i, std::min<size_t>(i2 - i, 18)));
            unsigned long long y = std::stoull(b.substr(j, std::min<size_t>(j2 - j, 18)));
            if (x != y) return x < y;
            i = i2, j = j2;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i, ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

std::shared_ptr<DeviceBackend> OpenFileBackend(const std::string& path, int& errnoValue) {
    errnoValue = 0;
    int bufferedFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (bufferedFd < 0) {
        errnoValue = errno;
        return nullptr;
    }
    struct stat st;
    if (::fstat(bufferedFd, &st) != 0) {
        errnoValue = errno;
        ::close(bufferedFd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        errnoValue = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(bufferedFd);
        return nullptr;
    }
    // A container is read through its format's library; a raw image stays raw.
    if (S_ISREG(st.st_mode)) {
        const ContainerKind kind = ContainerOf(bufferedFd);
        if (kind != ContainerKind::Raw) {
            ::close(bufferedFd);
            return OpenContainerBackend(kind, path, errnoValue);
        }
    }
    // Unbuffered reads where the file system allows them; tmpfs and some others refuse.
    int directFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    return std::make_shared<FileBackend>(path, directFd, bufferedFd, S_ISBLK(st.st_mode),
                                         st.st_rdev);
}

bool IsDeviceNamespacePath(const std::wstring& path) {
    return path.size() >= 4 && path.compare(0, 4, kPrefix) == 0;
}

bool RegisterDevice(const std::wstring& name, const std::wstring& target, int diskNumber,
                    uint64_t byteOffset) {
    if (name.empty() || target.empty()) return false;
    RegisteredDevice entry{name, target, diskNumber, byteOffset, nullptr};
    std::lock_guard<std::mutex> guard(tableLock);
    Table()[Key(name)] = std::move(entry);
    return true;
}

bool RegisterDeviceFactory(const std::wstring& name, BackendFactory factory, int diskNumber,
                           uint64_t byteOffset) {
    if (name.empty() || !factory) return false;
    RegisteredDevice entry{name, L"", diskNumber, byteOffset, std::move(factory)};
    std::lock_guard<std::mutex> guard(tableLock);
    Table()[Key(name)] = std::move(entry);
    return true;
}

void UnregisterDevice(const std::wstring& name) {
    std::lock_guard<std::mutex> guard(tableLock);
    Table().erase(Key(name));
}

std::vector<RegisteredDevice> RegisteredDevices() {
    std::lock_guard<std::mutex> guard(tableLock);
    std::vector<RegisteredDevice> out;
    for (auto& [key, entry] : Table()) out.push_back(entry);
    return out;
}

std::optional<RegisteredDevice> FindRegistered(const std::wstring& name) {
    std::lock_guard<std::mutex> guard(tableLock);
    auto it = Table().find(Key(name));
    if (it == Table().end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> PhysicalDiskPaths() {
    std::vector<std::string> names;
    DIR* dir = ::opendir("/sys/block");
    if (!dir) return {};
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
        std::string sys = "/sys/block/" + name;
        if (name.rfind("loop", 0) == 0 && ReadSysfs(sys + "/loop/backing_file").empty()) continue;
        std::string size = ReadSysfs(sys + "/size");
        if (size.empty() || size == "0") continue;
        names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), NaturalLess);
    for (auto& n : names) n = "/dev/" + n;
    return names;
}

uint32_t LogicalDriveMask() {
    uint32_t mask = 0;
    for (const auto& entry : RegisteredDevices()) {
        wchar_t letter = VolumeLetter(entry.name);
        if (letter) mask |= 1u << (letter - L'A');
    }
    return mask;
}

std::optional<uint32_t> PhysicalDriveNumberOf(const std::wstring& path) {
    if (auto n = PhysicalNumber(path)) return n;
    if (IsDeviceNamespacePath(path)) return std::nullopt;
    // A file or device: the registered physical-drive name that targets it, else its place
    // among the machine's disks.
    for (const auto& entry : RegisteredDevices()) {
        if (entry.target == path) {
            if (auto n = PhysicalNumber(entry.name)) return n;
        }
    }
    auto disks = PhysicalDiskPaths();
    std::string utf8 = WideToUtf8(path);
    for (size_t i = 0; i < disks.size(); ++i)
        if (disks[i] == utf8) return static_cast<uint32_t>(i);
    return std::nullopt;
}

std::shared_ptr<DeviceHandle> OpenDevice(const std::wstring& path, uint32_t& error) {
    error = kErrorSuccess;
    if (path.empty()) {
        error = kErrorFileNotFound;
        return nullptr;
    }
    std::shared_ptr<DeviceBackend> backend;
    int errnoValue = 0;
    if (IsDeviceNamespacePath(path)) {
        if (auto entry = FindRegistered(path)) {
            if (entry->factory) {
                backend = entry->factory();
            } else {
                backend = OpenFileBackend(WideToUtf8(entry->target), errnoValue);
            }
            if (backend && VolumeLetter(path)) {
                backend = std::make_shared<RegisteredVolumeBackend>(backend, entry->diskNumber,
                                                                    entry->byteOffset);
            }
        } else if (auto n = PhysicalNumber(path)) {
            auto disks = PhysicalDiskPaths();
            if (*n < disks.size()) {
                backend = OpenFileBackend(disks[*n], errnoValue);
            } else {
                errnoValue = ENOENT;
            }
        } else {
            errnoValue = ENOENT;
        }
    } else {
        backend = OpenFileBackend(WideToUtf8(path), errnoValue);
    }
    if (!backend) {
        error = errnoValue ? ErrorFromErrno(errnoValue) : kErrorFileNotFound;
        return nullptr;
    }
    return std::make_shared<DeviceHandle>(std::move(backend));
}

}  // namespace ravlin::platform
