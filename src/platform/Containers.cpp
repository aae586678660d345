// Containers as sources.
#include "platform/Containers.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>

#if defined(RAVLIN_HAVE_LIBEWF)
#include <libewf.h>
#endif
#if defined(RAVLIN_HAVE_LIBVHDI)
#include <libvhdi.h>
#endif
#if defined(RAVLIN_HAVE_LIBVMDK)
#include <libvmdk.h>
#endif
#include <sys/stat.h>

#include "platform/Text.h"

namespace ravlin::platform {
namespace {

// The container libraries are loaded the first time a container of their kind is met: most
// scans read raw images and devices, and should not pay for loading and binding them. Each
// library's functions are bound once; a library that is missing or lacks one is not supported.
#define RAVLIN_MEMBER(name) decltype(&::name) name = nullptr;
#define RAVLIN_BIND(name) ok = ok && (table.name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name)));
#define RAVLIN_LOADER(Name, FUNCTIONS, file)                                                  \
    struct Name##Functions {                                                                  \
        FUNCTIONS(RAVLIN_MEMBER)                                                              \
    };                                                                                        \
    const Name##Functions* Name() {                                                           \
        static const Name##Functions* loaded = []() -> const Name##Functions* {             \
            void* library = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);                            \
            if (!library) return nullptr;                                                     \
            static Name##Functions table;                                                     \
            bool ok = true;                                                                   \
            FUNCTIONS(RAVLIN_BIND)                                                            \
            return ok ? &table : nullptr;                                                     \
        }();                                                                                  \
        return loaded;                                                                        \
    }

#if defined(RAVLIN_HAVE_LIBEWF)
#define RAVLIN_EWF_FUNCTIONS(X)                                                                  \
    X(libewf_error_free) X(libewf_glob) X(libewf_glob_free) X(libewf_handle_close)            \
    X(libewf_handle_free) X(libewf_handle_get_bytes_per_sector) X(libewf_handle_get_checksum_error) \
    X(libewf_handle_get_media_size) X(libewf_handle_get_number_of_checksum_errors)            \
    X(libewf_handle_get_utf8_hash_value) X(libewf_handle_get_utf8_header_value)               \
    X(libewf_handle_initialize) X(libewf_handle_open) X(libewf_handle_read_random)            \
    X(libewf_handle_segment_files_corrupted)
RAVLIN_LOADER(Ewf, RAVLIN_EWF_FUNCTIONS, RAVLIN_LIBEWF_FILE)
#endif
#if defined(RAVLIN_HAVE_LIBVHDI)
#define RAVLIN_VHDI_FUNCTIONS(X)                                                                 \
    X(libvhdi_error_free) X(libvhdi_file_close) X(libvhdi_file_free) X(libvhdi_file_get_disk_type) \
    X(libvhdi_file_get_identifier) X(libvhdi_file_get_media_size)                             \
    X(libvhdi_file_get_parent_identifier) X(libvhdi_file_get_utf8_parent_filename)            \
    X(libvhdi_file_initialize) X(libvhdi_file_open) X(libvhdi_file_read_buffer_at_offset)     \
    X(libvhdi_file_set_parent_file)
RAVLIN_LOADER(Vhdi, RAVLIN_VHDI_FUNCTIONS, RAVLIN_LIBVHDI_FILE)
#endif
#if defined(RAVLIN_HAVE_LIBVMDK)
#define RAVLIN_VMDK_FUNCTIONS(X)                                                                 \
    X(libvmdk_error_free) X(libvmdk_extent_descriptor_free)                                   \
    X(libvmdk_extent_descriptor_get_utf8_filename) X(libvmdk_handle_close) X(libvmdk_handle_free) \
    X(libvmdk_handle_get_extent_descriptor) X(libvmdk_handle_get_media_size)                  \
    X(libvmdk_handle_get_number_of_extents) X(libvmdk_handle_initialize) X(libvmdk_handle_open) \
    X(libvmdk_handle_open_extent_data_files) X(libvmdk_handle_read_buffer_at_offset)          \
    X(libvmdk_handle_set_extent_data_files_path)
RAVLIN_LOADER(Vmdk, RAVLIN_VMDK_FUNCTIONS, RAVLIN_LIBVMDK_FILE)
#endif

// A container read through its library's handle, which takes one request at a time: the I/O
// threads take turns. `read` returns the bytes read, or -1 for a chunk the library cannot give.
class LibraryBackend final : public DeviceBackend {
public:
    using Read = std::function<ssize_t(uint8_t* destination, size_t length, uint64_t offset)>;
    LibraryBackend(std::string path, uint64_t size, Read read, std::function<void()> close)
        : path_(std::move(path)), size_(size), read_(std::move(read)), close_(std::move(close)) {}
    ~LibraryBackend() override { close_(); }

    IoResult ReadAt(uint8_t* destination, uint64_t offset, uint32_t length) override {
        IoResult result;
        if (offset >= size_) return result;  // past the media: nothing, as at a file's end
        std::lock_guard<std::mutex> guard(lock_);
        const ssize_t got = read_(destination, length, offset);
        if (got < 0) result.errnoValue = EIO;
        else result.transferred = static_cast<uint32_t>(got);
        return result;
    }
    std::optional<uint64_t> SizeBytes() override { return size_; }
    std::wstring Describe() const override { return Utf8ToWide(path_); }

private:
    std::string path_;
    uint64_t size_;
    Read read_;
    std::function<void()> close_;
    std::mutex lock_;
};

constexpr uint8_t kEwfSignature[8] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr uint8_t kEwf2Signature[8] = {'E', 'V', 'F', '2', 0x0D, 0x0A, 0x81, 0x00};
constexpr char kVhdFooter[8] = {'c', 'o', 'n', 'e', 'c', 't', 'i', 'x'};  // also copied to a dynamic VHD's start
constexpr char kVhdxSignature[8] = {'v', 'h', 'd', 'x', 'f', 'i', 'l', 'e'};
constexpr char kVmdkSparse[4] = {'K', 'D', 'M', 'V'};
constexpr char kVmdkDescriptor[] = "# Disk DescriptorFile";

// The folder a file lies in: "." for a bare name, "/" for a file at the root.
[[maybe_unused]] std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

#if defined(RAVLIN_HAVE_LIBVMDK)
// Whether every extent the descriptor names is a plain file name (no folder, no "..").
bool ExtentsStayBeside(libvmdk_handle_t* handle) {
    int count = 0;
    if (Vmdk()->libvmdk_handle_get_number_of_extents(handle, &count, nullptr) != 1) return false;
    for (int i = 0; i < count; ++i) {
        libvmdk_extent_descriptor_t* extent = nullptr;
        if (Vmdk()->libvmdk_handle_get_extent_descriptor(handle, i, &extent, nullptr) != 1) return false;
        uint8_t name[1024] = {};
        const int got = Vmdk()->libvmdk_extent_descriptor_get_utf8_filename(extent, name, sizeof name, nullptr);
        Vmdk()->libvmdk_extent_descriptor_free(&extent, nullptr);
        if (got == 0) continue;  // a sparse image's own extent
        if (got != 1) return false;
        const std::string text(reinterpret_cast<const char*>(name));
        if (text.empty() || text == "." || text == ".." || text.find_first_of("/\\:") != std::string::npos) return false;
    }
    return true;
}
#endif



}  // namespace

ContainerKind ContainerOf(int fd) {
    uint8_t head[8];
    if (::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) return ContainerKind::Raw;
    if (std::memcmp(head, kEwfSignature, sizeof head) == 0) return ContainerKind::Ewf;
    if (std::memcmp(head, kEwf2Signature, sizeof head) == 0) return ContainerKind::Ewf2;
    if (std::memcmp(head, kVhdxSignature, sizeof head) == 0 || std::memcmp(head, kVhdFooter, sizeof head) == 0)
        return ContainerKind::Vhd;
    char line[sizeof kVmdkDescriptor - 1];
    if (std::memcmp(head, kVmdkSparse, sizeof kVmdkSparse) == 0 ||
        (::pread(fd, line, sizeof line, 0) == static_cast<ssize_t>(sizeof line) &&
         std::memcmp(line, kVmdkDescriptor, sizeof line) == 0))
        return ContainerKind::Vmdk;
    // A fixed VHD is its media followed by a 512-byte footer. Only a footer that says so (disk
    // type 2, a current size of exactly the bytes before it) makes the file a VHD: a raw image
    // whose last sector merely starts with the cookie stays raw.
    struct stat st {};
    uint8_t tail[64];
    if (::fstat(fd, &st) != 0 || st.st_size <= 512 || st.st_size % 512 != 0 ||
        ::pread(fd, tail, sizeof tail, st.st_size - 512) != static_cast<ssize_t>(sizeof tail) ||
        std::memcmp(tail, kVhdFooter, sizeof kVhdFooter) != 0)
        return ContainerKind::Raw;
    uint64_t currentSize = 0;
    for (int i = 48; i < 56; ++i) currentSize = currentSize << 8 | tail[i];
    const uint32_t diskType = uint32_t{tail[60]} << 24 | uint32_t{tail[61]} << 16 | uint32_t{tail[62]} << 8 | tail[63];
    return diskType == 2 && currentSize == static_cast<uint64_t>(st.st_size) - 512 ? ContainerKind::Vhd
                                                                                   : ContainerKind::Raw;
}

bool ContainerSupported(ContainerKind kind) {
#if defined(RAVLIN_HAVE_LIBEWF)
    if (kind == ContainerKind::Ewf) return Ewf() != nullptr;
#endif
#if defined(RAVLIN_HAVE_LIBVHDI)
    if (kind == ContainerKind::Vhd) return Vhdi() != nullptr;
#endif
#if defined(RAVLIN_HAVE_LIBVMDK)
    if (kind == ContainerKind::Vmdk) return Vmdk() != nullptr;
#endif
    return kind == ContainerKind::Raw;
}

const char* ContainerName(ContainerKind kind) {
    switch (kind) {
        case ContainerKind::Ewf: return "EWF (E01)";
        case ContainerKind::Ewf2: return "EWF2 (Ex01)";
        case ContainerKind::Vhd: return "VHD/VHDX";
        case ContainerKind::Vmdk: return "VMDK";
        default: return "raw";
    }
}

std::shared_ptr<DeviceBackend> OpenContainerBackend(ContainerKind kind, const std::string& path, int& errnoValue,
                                                    std::string* problem) {
    if (kind == ContainerKind::Ewf) return OpenEwfBackend(path, errnoValue);
    if (kind == ContainerKind::Vhd) return OpenVhdBackend(path, errnoValue, problem);
    if (kind == ContainerKind::Vmdk) return OpenVmdkBackend(path, errnoValue);
    errnoValue = EINVAL;
    return nullptr;
}

std::vector<std::pair<std::string, std::string>> ReadEwfMetadata(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> out;
#if defined(RAVLIN_HAVE_LIBEWF)
    if (!Ewf()) return out;
    libewf_error_t* error = nullptr;
    char** segments = nullptr;
    int count = 0;
    if (Ewf()->libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &segments, &count, &error) != 1) {
        Ewf()->libewf_error_free(&error);
        return out;
    }
    libewf_handle_t* handle = nullptr;
    if (Ewf()->libewf_handle_initialize(&handle, &error) == 1 &&
        Ewf()->libewf_handle_open(handle, segments, count, LIBEWF_OPEN_READ, &error) == 1) {
        uint8_t value[512];
        for (const char* name : {"case_number", "evidence_number", "examiner_name", "description", "notes",
                                 "acquiry_date"}) {
            if (Ewf()->libewf_handle_get_utf8_header_value(handle, reinterpret_cast<const uint8_t*>(name), std::strlen(name),
                                                    value, sizeof value, nullptr) == 1)
                out.emplace_back(name, reinterpret_cast<const char*>(value));
        }
        if (Ewf()->libewf_handle_get_utf8_hash_value(handle, reinterpret_cast<const uint8_t*>("MD5"), 3, value, sizeof value,
                                              nullptr) == 1)
            out.emplace_back("md5", reinterpret_cast<const char*>(value));
        Ewf()->libewf_handle_close(handle, nullptr);
    }
    Ewf()->libewf_error_free(&error);
    if (handle) Ewf()->libewf_handle_free(&handle, nullptr);
    Ewf()->libewf_glob_free(segments, count, nullptr);
#else
    (void)path;
#endif
    return out;
}

std::shared_ptr<DeviceBackend> OpenVhdBackend(const std::string& path, int& errnoValue, std::string* problem) {
    errnoValue = 0;
#if defined(RAVLIN_HAVE_LIBVHDI)
    if (!Vhdi()) {
        errnoValue = ENOTSUP;
        return nullptr;
    }
    // A differencing image reads through its parent, which may have a parent of its own. Each
    // is looked for beside the image, under the file name it records (a folder it names is
    // not followed), and must carry the identifier its child records.
    constexpr size_t kMaxChain = 16;
    auto fail = [&](int code, std::string why) {
        errnoValue = code;
        if (problem) *problem = std::move(why);
    };
    const std::string folder = FolderOf(path);
    auto nameOf = [](const std::string& file) { return file.substr(file.rfind('/') + 1); };
    std::vector<libvhdi_file_t*> chain;  // the image first, then its parents
    std::vector<std::pair<dev_t, ino_t>> seen;
    uint8_t wantedIdentifier[16] = {};
    std::string current = path;
    size64_t media = 0;
    while (errnoValue == 0) {
        struct stat st {};
        if (::stat(current.c_str(), &st) != 0) {
            fail(ENOENT, "its parent image " + nameOf(current) + " is not beside it");
            break;
        }
        for (const auto& [device, inode] : seen)
            if (device == st.st_dev && inode == st.st_ino) fail(ELOOP, "its chain of parent images loops");
        if (errnoValue != 0) break;
        seen.emplace_back(st.st_dev, st.st_ino);
        libvhdi_error_t* error = nullptr;
        libvhdi_file_t* file = nullptr;
        const bool opened = Vhdi()->libvhdi_file_initialize(&file, &error) == 1 &&
                            Vhdi()->libvhdi_file_open(file, current.c_str(), LIBVHDI_OPEN_READ, &error) == 1;
        Vhdi()->libvhdi_error_free(&error);
        if (file) chain.push_back(file);
        if (!opened) {
            fail(EIO, chain.size() == 1 ? "the image is damaged" : "its parent image " + nameOf(current) + " is damaged");
            break;
        }
        uint8_t identifier[16] = {};
        uint32_t type = 0;
        if (Vhdi()->libvhdi_file_get_disk_type(file, &type, nullptr) != 1 ||
            Vhdi()->libvhdi_file_get_identifier(file, identifier, sizeof identifier, nullptr) != 1 ||
            (chain.size() == 1 && Vhdi()->libvhdi_file_get_media_size(file, &media, nullptr) != 1)) {
            fail(EIO, "the image is damaged");
            break;
        }
        if (chain.size() > 1 && std::memcmp(identifier, wantedIdentifier, sizeof identifier) != 0) {
            fail(EINVAL, "its parent image " + nameOf(current) + " is not the one it was made from (another identifier)");
            break;
        }
        if (type != LIBVHDI_DISK_TYPE_DIFFERENTIAL) break;
        if (chain.size() == kMaxChain) {
            fail(ELOOP, "its chain of parent images is longer than 16");
            break;
        }
        uint8_t name[1024] = {};
        if (Vhdi()->libvhdi_file_get_parent_identifier(file, wantedIdentifier, sizeof wantedIdentifier, nullptr) != 1 ||
            Vhdi()->libvhdi_file_get_utf8_parent_filename(file, name, sizeof name, nullptr) != 1) {
            fail(EIO, "the image names no parent it can be read with");
            break;
        }
        std::string parent(reinterpret_cast<const char*>(name));
        const size_t cut = parent.find_last_of("/\\:");
        if (cut != std::string::npos) parent.erase(0, cut + 1);
        if (parent.empty() || parent == "." || parent == "..") {
            fail(EIO, "the image names no parent it can be read with");
            break;
        }
        current = folder + "/" + parent;
    }
    for (size_t i = chain.size(); errnoValue == 0 && i-- > 1;)
        if (Vhdi()->libvhdi_file_set_parent_file(chain[i - 1], chain[i], nullptr) != 1) fail(EIO, "the image is damaged");
    auto closeAll = [chain]() mutable {
        for (libvhdi_file_t* file : chain) {
            Vhdi()->libvhdi_file_close(file, nullptr);
            Vhdi()->libvhdi_file_free(&file, nullptr);
        }
    };
    if (errnoValue != 0) {
        closeAll();
        return nullptr;
    }
    libvhdi_file_t* file = chain.front();
    return std::make_shared<LibraryBackend>(
        path, media,
        [file](uint8_t* destination, size_t length, uint64_t offset) {
            libvhdi_error_t* readError = nullptr;
            const ssize_t got =
                Vhdi()->libvhdi_file_read_buffer_at_offset(file, destination, length, static_cast<off64_t>(offset), &readError);
            Vhdi()->libvhdi_error_free(&readError);
            return got;
        },
        closeAll);
#else
    (void)path;
    (void)problem;
    errnoValue = ENOTSUP;
    return nullptr;
#endif
}

std::shared_ptr<DeviceBackend> OpenEwfBackend(const std::string& path, int& errnoValue) {
    errnoValue = 0;
#if defined(RAVLIN_HAVE_LIBEWF)
    if (!Ewf()) {
        errnoValue = ENOTSUP;
        return nullptr;
    }
    libewf_error_t* error = nullptr;
    char** segments = nullptr;
    int count = 0;
    if (Ewf()->libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &segments, &count, &error) != 1 || count < 1) {
        Ewf()->libewf_error_free(&error);
        errnoValue = ENOENT;
        return nullptr;
    }
    libewf_handle_t* handle = nullptr;
    uint64_t size = 0;
    uint32_t sectorBytes = 512;
    bool ok = Ewf()->libewf_handle_initialize(&handle, &error) == 1 &&
              Ewf()->libewf_handle_open(handle, segments, count, LIBEWF_OPEN_READ, &error) == 1;
    if (ok) {
        size64_t media = 0;
        ok = Ewf()->libewf_handle_get_media_size(handle, &media, &error) == 1 &&
             Ewf()->libewf_handle_get_bytes_per_sector(handle, &sectorBytes, &error) == 1 && sectorBytes != 0;
        size = media;
    }
    // A set that ends early (E03 missing after E02) opens, but its last segment says the set
    // goes on: that is a missing segment, not media that ends there.
    if (ok && Ewf()->libewf_handle_segment_files_corrupted(handle, &error) != 0) ok = false;
    Ewf()->libewf_glob_free(segments, count, nullptr);
    if (!ok) {
        Ewf()->libewf_error_free(&error);
        if (handle) {
            Ewf()->libewf_handle_close(handle, nullptr);
            Ewf()->libewf_handle_free(&handle, nullptr);
        }
        errnoValue = EIO;  // a segment missing, out of order or damaged
        return nullptr;
    }
    return std::make_shared<LibraryBackend>(
        path, size,
        // libewf hands out a chunk whose checksum fails as if it were good, and notes it only
        // the first time it reads it. Every chunk it has noted stays a failed read: its bytes
        // are not the acquired ones.
        [handle, sectorBytes, bad = std::map<uint64_t, uint64_t>(), seen = uint32_t{0}](
            uint8_t* destination, size_t length, uint64_t offset) mutable -> ssize_t {
            libewf_error_t* readError = nullptr;
            const ssize_t got = Ewf()->libewf_handle_read_random(handle, destination, length, static_cast<off64_t>(offset), &readError);
            Ewf()->libewf_error_free(&readError);
            uint32_t noted = 0;
            if (Ewf()->libewf_handle_get_number_of_checksum_errors(handle, &noted, nullptr) == 1)
                for (; seen < noted; ++seen) {
                    uint64_t first = 0, count = 0;
                    if (Ewf()->libewf_handle_get_checksum_error(handle, seen, &first, &count, nullptr) != 1) break;
                    bad[first * sectorBytes] = count * sectorBytes;  // chunks: no two overlap
                }
            if (got <= 0) return got;
            // The chunk that starts in the read, or the one before it that reaches into it.
            auto after = bad.lower_bound(offset);
            if (after != bad.end() && after->first < offset + static_cast<uint64_t>(got)) return -1;
            if (after != bad.begin() && std::prev(after)->first + std::prev(after)->second > offset) return -1;
            return got;
        },
        [handle]() mutable {
            Ewf()->libewf_handle_close(handle, nullptr);
            Ewf()->libewf_handle_free(&handle, nullptr);
        });
#else
    (void)path;
    errnoValue = ENOTSUP;
    return nullptr;
#endif
}

std::shared_ptr<DeviceBackend> OpenVmdkBackend(const std::string& path, int& errnoValue) {
    errnoValue = 0;
#if defined(RAVLIN_HAVE_LIBVMDK)
    if (!Vmdk()) {
        errnoValue = ENOTSUP;
        return nullptr;
    }
    libvmdk_error_t* error = nullptr;
    libvmdk_handle_t* handle = nullptr;
    const std::string folder = FolderOf(path);
    size64_t media = 0;
    bool ok = Vmdk()->libvmdk_handle_initialize(&handle, &error) == 1 &&
              Vmdk()->libvmdk_handle_open(handle, path.c_str(), LIBVMDK_OPEN_READ, &error) == 1;
    if (ok && !ExtentsStayBeside(handle)) {
        errnoValue = EACCES;
        ok = false;
    }
    ok = ok && Vmdk()->libvmdk_handle_set_extent_data_files_path(handle, folder.c_str(), folder.size(), &error) == 1 &&
         Vmdk()->libvmdk_handle_open_extent_data_files(handle, &error) == 1 &&
         Vmdk()->libvmdk_handle_get_media_size(handle, &media, &error) == 1;
    Vmdk()->libvmdk_error_free(&error);
    if (!ok) {
        if (errnoValue == 0) errnoValue = EIO;
        if (handle) {
            Vmdk()->libvmdk_handle_close(handle, nullptr);
            Vmdk()->libvmdk_handle_free(&handle, nullptr);
        }
        return nullptr;
    }
    return std::make_shared<LibraryBackend>(
        path, media,
        [handle](uint8_t* destination, size_t length, uint64_t offset) {
            libvmdk_error_t* readError = nullptr;
            const ssize_t got =
                Vmdk()->libvmdk_handle_read_buffer_at_offset(handle, destination, length, static_cast<off64_t>(offset), &readError);
            Vmdk()->libvmdk_error_free(&readError);
            return got;
        },
        [handle]() mutable {
            Vmdk()->libvmdk_handle_close(handle, nullptr);
            Vmdk()->libvmdk_handle_free(&handle, nullptr);
        });
#else
    (void)path;
    errnoValue = ENOTSUP;
    return nullptr;
#endif
}

}  // namespace ravlin::platform
