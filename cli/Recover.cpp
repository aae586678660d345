#include "Recover.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>

#include <nlohmann/json.hpp>

#include "Digest.h"
#include "ExitCodes.h"
#include "Report.h"

namespace ravlin::cli {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr uint32_t kChunk = 1 << 20;

bool WriteAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t done = ::write(fd, data, length);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        length -= static_cast<size_t>(done);
    }
    return true;
}

constexpr size_t kNameMax = 255;   // bytes of one path component
constexpr size_t kPathMax = 4000;  // bytes of a whole path, below the system's 4096

// Cuts UTF-8 text to at most `bytes` bytes on a character boundary.
std::string CutUtf8(const std::string& text, size_t bytes) {
    if (text.size() <= bytes) return text;
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    return text.substr(0, bytes);
}

// Where a safe name's extension starts (a short one after the first character), or npos.
size_t ExtensionStart(const std::string& name) {
    auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 || name.size() - dot > 16 ? std::string::npos : dot;
}

// "name (n).ext" for a safe name, the stem shortened so that the whole still fits.
std::string WithSuffix(const std::string& name, int n) {
    std::string suffix = " (" + std::to_string(n) + ")";
    size_t dot = ExtensionStart(name);
    std::string extension = dot == std::string::npos ? "" : name.substr(dot);
    std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    return CutUtf8(stem, kNameMax - suffix.size() - extension.size()) + suffix + extension;
}

// Creates a new file in `folder` named `name` or the first free "name (n)"; -1 on failure.
int CreateNew(const fs::path& folder, const std::string& name, fs::path& created) {
    for (int n = 0; n < 100000; ++n) {
        created = folder / (n == 0 ? name : WithSuffix(name, n));
        int fd = ::open(created.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Creates `folder` below `base` one component at a time. A component that exists as a file
// (a recovered file of the same name) gets a suffixed folder instead.
bool MakeFolders(const fs::path& base, const std::vector<std::string>& components, fs::path& out) {
    out = base;
    for (const auto& component : components) {
        bool made = false;
        for (int n = 0; n < 1000 && !made; ++n) {
            fs::path next = out / (n == 0 ? component : WithSuffix(component, n));
            std::error_code ec;
            if (fs::is_directory(fs::symlink_status(next, ec))) {
                out = next, made = true;
            } else if (!fs::exists(fs::symlink_status(next, ec)) && ::mkdir(next.c_str(), 0755) == 0) {
                out = next, made = true;
            } else if (errno != EEXIST && !fs::exists(fs::symlink_status(next, ec))) {
                return false;
            }
        }
        if (!made) return false;
    }
    return true;
}

std::vector<std::string> SafeComponents(const std::string& path) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        out.push_back(SafeName(path.substr(start, slash - start)));
        start = slash + 1;
    }
    return out;
}

Json LoadManifest(const fs::path& file) {
    std::ifstream in(file);
    if (!in) return Json{{"files", Json::array()}};
    Json loaded = Json::parse(in, nullptr, false);
    if (loaded.is_discarded() || !loaded.is_object() || !loaded.contains("files") || !loaded["files"].is_array()) {
        // Keep what cannot be read beside the new list rather than losing it.
        std::error_code ec;
        fs::rename(file, fs::path(file).concat(".unreadable"), ec);
        return Json{{"files", Json::array()}};
    }
    return loaded;
}

bool SaveManifest(const fs::path& file, const Json& manifest) {
    fs::path temporary = fs::path(file).concat(".tmp");
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << manifest.dump(1, ' ', false, Json::error_handler_t::replace) << '\n';
        out.flush();
        if (!out) return false;
    }
    std::error_code ec;
    fs::rename(temporary, file, ec);
    return !ec;
}

// Unreadable byte ranges of one file, in order, adjacent ones joined; a file with very many
// keeps the first ones and joins the rest into the last.
struct Gaps {
    static constexpr size_t kMaxRanges = 4096;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // (offset, length)
    uint64_t bytes = 0;                                 // unreadable bytes, however joined

    void Add(uint64_t offset, uint64_t length) {
        if (length == 0) return;
        bytes += length;
        if (!ranges.empty()) {
            auto& last = ranges.back();
            if (last.first + last.second == offset || ranges.size() >= kMaxRanges) {
                last.second = offset + length - last.first;
                return;
            }
        }
        ranges.push_back({offset, length});
    }
};

// What the file's pieces hold: its size, or less when the runs found for it end early (a
// deleted file whose clusters were partly reused) or leave the source (a size no source could
// hold): the bytes up to the first run that lies past the source's end.
uint64_t ReadableBytes(const NodeResult& node, uint64_t sourceSectors, bool& pastSource) {
    pastSource = false;
    if (!node.detailed || node.resident) return node.size;
    uint64_t bytes = 0;
    for (const auto& run : node.runs) {
        uint64_t sectors = run.sectorCount;
        bool clipped = false;
        if (run.startSector != kSparseSector && sourceSectors != 0) {
            uint64_t inside = run.startSector >= sourceSectors ? 0 : sourceSectors - run.startSector;
            clipped = sectors > inside;
            sectors = std::min(sectors, inside);
        }
        bytes += std::min<uint64_t>(sectors, (UINT64_MAX - bytes) / 512) * 512;
        pastSource = clipped && bytes < node.size;
        if (clipped || bytes >= node.size) break;
    }
    return std::min(bytes, node.size);
}

// The file's sparse byte ranges, from its runs: written as holes, not as zeros.
std::vector<std::pair<uint64_t, uint64_t>> SparseRanges(const NodeResult& node) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    if (node.resident) return out;
    uint64_t at = 0;
    for (const auto& run : node.runs) {
        uint64_t bytes = run.sectorCount > UINT64_MAX / 512 ? UINT64_MAX : run.sectorCount * 512;
        if (run.startSector == kSparseSector) out.push_back({at, at > UINT64_MAX - bytes ? UINT64_MAX : at + bytes});
        at = at > UINT64_MAX - bytes ? UINT64_MAX : at + bytes;
        if (at >= node.size) break;
    }
    return out;
}

// The source's sectors that hold file bytes [offset, offset + length), through the runs.
void SectorsOf(const NodeResult& node, uint64_t offset, uint64_t length, SectorRanges& out) {
    if (node.resident) return;
    uint64_t at = 0;
    const uint64_t end = offset + length;
    for (const auto& run : node.runs) {
        if (at >= end || run.sectorCount > (UINT64_MAX - at) / 512) break;
        const uint64_t runEnd = at + run.sectorCount * 512;
        if (runEnd > offset && run.startSector != kSparseSector) {
            const uint64_t from = std::max(at, offset), to = std::min(runEnd, end);
            const uint64_t first = run.startSector + (from - at) / 512;
            out.Add(first, (to - at + 511) / 512 - (from - at) / 512);
        }
        at = runEnd;
    }
}

bool InsideSparse(const std::vector<std::pair<uint64_t, uint64_t>>& sparse, uint64_t from, uint64_t to) {
    for (const auto& [a, b] : sparse)
        if (from >= a && to <= b) return true;
    return false;
}

}  // namespace

bool PrepareFolder(const fs::path& dir, std::string& error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!ec && fs::is_directory(dir) && ::access(dir.c_str(), W_OK | X_OK) == 0) return true;
    std::string why = ec ? ec.message() : fs::is_directory(dir) ? std::strerror(errno) : std::strerror(ENOTDIR);
    error = "cannot create " + dir.string() + ": " + why;
    return false;
}

std::string SafeName(const std::string& name) {
    std::string out;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        bool reserved = byte < 0x20 || byte == 0x7F || std::strchr("<>:\"/\\|?*", c) != nullptr;
        out += reserved ? '_' : c;
    }
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    if (out.empty()) return "_";
    std::string stem = out.substr(0, out.find('.'));
    for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* devices[] = {"CON", "PRN", "AUX", "NUL"};
    bool device = false;
    for (const char* d : devices) device = device || stem == d;
    if (stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) && stem[3] >= '1' &&
        stem[3] <= '9')
        device = true;
    if (device) out = "_" + out;
    if (out.size() > kNameMax) {
        // Keep the extension; cut the stem on a character boundary.
        size_t dot = ExtensionStart(out);
        std::string extension = dot == std::string::npos ? "" : out.substr(dot);
        out = CutUtf8(dot == std::string::npos ? out : out.substr(0, dot), kNameMax - extension.size()) + extension;
    }
    return out;
}

namespace {

// The MD5 of a file's bytes, empty when it cannot be read.
std::string Md5OfFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    Digest md5(DigestKind::Md5);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        md5.Update(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    return in.bad() ? std::string() : md5.Final();
}

// Whether an earlier recovery's entry still stands: recovered whole, its copy there unchanged.
bool StillRecovered(const fs::path& dir, const Json& entry) {
    if (!entry.value("read_whole", false) || !entry.contains("written_to") || !entry.contains("md5")) return false;
    std::error_code ec;
    fs::path copy = dir / entry["written_to"].get<std::string>();
    uint64_t size = fs::file_size(copy, ec);
    if (ec || !entry.contains("written_size") || size != entry["written_size"].get<uint64_t>()) return false;
    return Md5OfFile(copy) == entry["md5"].get<std::string>();
}

}  // namespace

int RecoverFiles(IScanView& view, const ScanResults& results, const fs::path& dir, bool quiet,
                 RecoverSummary& summary, bool (*cancelled)(), uint64_t sourceSectors, bool skipExisting) {
    std::error_code ec;
    if (!PrepareFolder(dir, summary.error)) return kExitCantCreate;
    fs::path manifestFile = dir / "recovered.json";
    Json manifest = LoadManifest(manifestFile);
    Json& list = manifest["files"];
    std::map<std::pair<uint64_t, std::string>, size_t> earlier;  // (partition, path) -> entry
    if (skipExisting) {
        for (size_t i = 0; i < list.size(); ++i) {
            const Json& e = list[i];
            if (e.contains("partition") && e.contains("path") && e["partition"].is_number() && e["path"].is_string())
                earlier[{e["partition"].get<uint64_t>(), e["path"].get<std::string>()}] = i;
        }
    }
    std::vector<uint8_t> buffer(kChunk);
    std::vector<ReadGap> gaps(kChunk / 4096);
    int code = kExitOk;
    uint64_t total = results.files, done = 0;
    for (const auto& part : results.parts) {
        if (code != kExitOk || summary.cancelled) break;
        bool hasFiles = false;
        for (const auto& node : part.nodes) hasFiles = hasFiles || !node.directory;
        if (!hasFiles) continue;
        bool open = view.OpenReader(part.index);
        std::string partFolder = SafeName(std::to_string(part.index) + "_" + part.Label());
        for (const auto& node : part.nodes) {
            if (node.directory) continue;
            if (cancelled && cancelled()) {
                summary.cancelled = true;
                break;
            }
            ++done;
            if (!open) {
                ++summary.failed;
                continue;
            }
            if (skipExisting) {
                auto found = earlier.find({part.index, node.path});
                if (found != earlier.end() && StillRecovered(dir, list[found->second])) {
                    ++summary.skipped;
                    continue;
                }
            }
            auto components = SafeComponents(node.path);
            std::string leaf = components.back();
            components.pop_back();
            components.insert(components.begin(), partFolder);
            // A path longer than the system takes goes to a folder of its own, named by its id.
            size_t length = dir.string().size() + leaf.size() + 1;
            for (const auto& c : components) length += c.size() + 1;
            bool shortened = length > kPathMax;
            if (shortened) {
                components = {partFolder, "_long paths"};
                leaf = SafeName(std::to_string(node.id) + "_" + leaf);
            }
            fs::path folder;
            bool made = MakeFolders(dir, components, folder);
            if (!made && !shortened && errno == ENAMETOOLONG) {
                components = {partFolder, "_long paths"};
                leaf = SafeName(std::to_string(node.id) + "_" + leaf);
                shortened = true;
                made = MakeFolders(dir, components, folder);
            }
            if (!made) {
                summary.error = "cannot create a folder for " + node.path + " under " + dir.string() + ": " +
                                std::strerror(errno);
                code = kExitCantCreate;
                break;
            }
            fs::path target;
            int fd = CreateNew(folder, leaf, target);
            if (fd < 0) {
                summary.error = "cannot create " + (folder / leaf).string() + ": " + std::strerror(errno);
                code = kExitCantCreate;
                break;
            }
            Digest md5(DigestKind::Md5), sha256(DigestKind::Sha256);
            bool pastSource = false;
            uint64_t readable = ReadableBytes(node, sourceSectors, pastSource);
            bool written = true, holes = false;
            Gaps unreadable;
            const auto sparse = SparseRanges(node);
            for (uint64_t offset = 0; offset < readable;) {
                uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kChunk, readable - offset));
                if (InsideSparse(sparse, offset, offset + length)) {
                    // A hole of the file stays a hole: nothing is read or written for it.
                    std::memset(buffer.data(), 0, length);
                    md5.Update(buffer.data(), length);
                    sha256.Update(buffer.data(), length);
                    if (::lseek(fd, static_cast<off_t>(length), SEEK_CUR) < 0) {
                        written = false;
                        break;
                    }
                    holes = true;
                    offset += length;
                    continue;
                }
                // A short read leaves the rest of the buffer alone: start from zeros.
                std::memset(buffer.data(), 0, length);
                unsigned int count = 0;
                if (!view.ReadNodeDataChecked(part.index, node.id, buffer.data(), offset, length, gaps.data(),
                                              static_cast<unsigned int>(gaps.size()), &count)) {
                    std::memset(buffer.data(), 0, length);
                    unreadable.Add(offset, length);
                } else {
                    for (unsigned int g = 0; g < count; ++g) unreadable.Add(gaps[g].offset, gaps[g].length);
                }
                md5.Update(buffer.data(), length);
                sha256.Update(buffer.data(), length);
                if (!WriteAll(fd, buffer.data(), length)) {
                    written = false;
                    break;
                }
                offset += length;
            }
            if (written && holes && ::ftruncate(fd, static_cast<off_t>(readable)) != 0) written = false;
            for (const auto& [from, length] : unreadable.ranges) SectorsOf(node, from, length, summary.badSectors);
            // What lies past the source cannot be read: named, not written.
            const bool nothingRead = (readable == 0 && pastSource) || (readable > 0 && unreadable.bytes >= readable);
            if (pastSource) unreadable.Add(readable, node.size - readable);
            if (written && node.modified) {
                struct timespec times[2];
                times[0].tv_sec = times[1].tv_sec = node.modified;
                times[0].tv_nsec = times[1].tv_nsec = 0;
                ::futimens(fd, times);
            }
            int writeError = errno;
            if (::close(fd) != 0) written = false;
            if (!written) {
                fs::remove(target, ec);
                summary.error = writeError == ENOSPC || writeError == EDQUOT
                                    ? "the disk of " + dir.string() + " is full: the recovery stopped at " + node.path
                                    : "cannot write " + target.string() + ": " + std::strerror(writeError);
                code = kExitIoError;
                break;
            }
            if (nothingRead) {
                // Nothing of the content could be read: a file of zeros is no recovery.
                fs::remove(target, ec);
                ++summary.failed;
                continue;
            }
            const bool whole = readable == node.size && unreadable.ranges.empty();
            ++summary.written;
            summary.bytes += readable;
            if (!unreadable.ranges.empty()) ++summary.partial;
            Json entry;
            entry["partition"] = part.index;
            entry["partition_name"] = part.Label();
            entry["path"] = node.path;
            entry["written_to"] = fs::relative(target, dir, ec).generic_string();
            if (shortened) entry["original_path"] = node.path;
            entry["size"] = node.size;
            entry["written_size"] = readable;
            entry["deleted"] = node.Deleted();
            entry["read_whole"] = whole;
            Json ranges = Json::array();
            for (const auto& [from, length] : unreadable.ranges) ranges.push_back({{"offset", from}, {"length", length}});
            entry["unreadable"] = std::move(ranges);
            entry["md5"] = md5.Final();
            entry["sha256"] = sha256.Final();
            entry["modified"] = node.modified ? Json(IsoTime(node.modified)) : Json(nullptr);
            list.push_back(std::move(entry));
            if (!quiet && (done % 500 == 0)) std::cerr << "recovered " << done << " of " << total << " files\n";
        }
        if (open) view.CloseReader(part.index);
    }
    if (!SaveManifest(manifestFile, manifest) && code == kExitOk) {
        summary.error = "cannot write " + manifestFile.string();
        code = kExitCantCreate;
    }
    return code;
}

}  // namespace ravlin::cli
