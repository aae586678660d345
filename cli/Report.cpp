#include "Report.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <string_view>
#include <vector>
#include <ctime>

#include <nlohmann/json.hpp>

#include "Version.h"

namespace ravlin::cli {
namespace {

using Json = nlohmann::ordered_json;


std::string XmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default:
                // XML 1.0 has no way to carry most control characters; they become U+FFFD.
                if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    out += "\xEF\xBF\xBD";
                else
                    out += c;
        }
    }
    return out;
}

// Writes into room made beforehand (see NodeJsonBound): literals of known length, numbers and
// escaped strings straight into the buffer.
class JsonCursor {
public:
    explicit JsonCursor(char* at) : p_(at) {}
    char* At() const { return p_; }

    template <size_t N>
    void Literal(const char (&text)[N]) {
        std::memcpy(p_, text, N - 1);
        p_ += N - 1;
    }
    void Char(char c) { *p_++ = c; }
    void Number(uint64_t value) { p_ = std::to_chars(p_, p_ + 20, value).ptr; }
    void Flag(bool value) {
        if (value) {
            Literal("true");
        } else {
            Literal("false");
        }
    }
    // A key (with its separator and colon) and its value.
    template <size_t N>
    void NumberField(const char (&key)[N], uint64_t value) {
        Literal(key);
        Number(value);
    }
    template <size_t N>
    void FlagField(const char (&key)[N], bool value) {
        Literal(key);
        Flag(value);
    }
    template <size_t N>
    void StringField(const char (&key)[N], std::string_view value) {
        Literal(key);
        String(value);
    }
    template <size_t N>
    void TimeField(const char (&key)[N], uint32_t seconds) {
        Literal(key);
        Time(seconds);
    }

    // JSON text of a string: quotes, backslashes and control characters escaped, bytes that are
    // not UTF-8 replaced by U+FFFD. At most 6 bytes out for each byte in, and the quotes.
    void String(std::string_view text) {
        *p_++ = '"';
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        const size_t n = text.size();
        for (size_t i = 0; i < n;) {
            // Plain ASCII goes over in one piece.
            size_t plain = PlainRun(p, i, n);
            if (plain != i) {
                std::memcpy(p_, p + i, plain - i);
                p_ += plain - i;
                i = plain;
                continue;
            }
            unsigned char c = p[i];
            if (c < 0x80) {
                if (c == '"' || c == '\\') {
                    *p_++ = '\\';
                    *p_++ = static_cast<char>(c);
                } else {
                    static const char hex[] = "0123456789abcdef";
                    Literal("\\u00");
                    *p_++ = hex[c >> 4];
                    *p_++ = hex[c & 15];
                }
                ++i;
                continue;
            }
            // The length of a well-formed sequence starting here, 0 when there is none.
            size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
            bool ok = length != 0 && i + length <= n;
            for (size_t k = 1; ok && k < length; ++k) ok = (p[i + k] & 0xC0) == 0x80;
            if (ok && length == 3) {
                ok = !(c == 0xE0 && p[i + 1] < 0xA0) && !(c == 0xED && p[i + 1] >= 0xA0);
            } else if (ok && length == 4) {
                ok = !(c == 0xF0 && p[i + 1] < 0x90) && !(c == 0xF4 && p[i + 1] >= 0x90);
            }
            if (ok) {
                std::memcpy(p_, p + i, length);
                p_ += length;
                i += length;
            } else {
                Literal("\xEF\xBF\xBD");
                ++i;
            }
        }
        *p_++ = '"';
    }

    // "YYYY-MM-DDTHH:MM:SSZ" of seconds since 1970, UTC; the date from the day count by the
    // proleptic Gregorian calendar, with years counted from March so that leap days come last.
    void IsoTime(uint32_t seconds) {
        const uint32_t days = seconds / 86400, inDay = seconds % 86400;
        const uint32_t shifted = days + 719468;  // days since 0000-03-01
        const uint32_t era = shifted / 146097, dayOfEra = shifted % 146097;
        const uint32_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
        const uint32_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
        const uint32_t monthIndex = (5 * dayOfYear + 2) / 153;  // 0 is March
        const uint32_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
        const uint32_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
        const uint32_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
        Two(year / 100);
        Two(year % 100);
        Char('-');
        Two(month);
        Char('-');
        Two(day);
        Char('T');
        Two(inDay / 3600);
        Char(':');
        Two(inDay / 60 % 60);
        Char(':');
        Two(inDay % 60);
        Char('Z');
    }

    // A time as a JSON string, or null when unknown.
    void Time(uint32_t seconds) {
        if (seconds == 0) {
            Literal("null");
            return;
        }
        // Neighbouring nodes mostly share their times: the last one made is kept.
        thread_local uint32_t lastSeconds = 0;
        thread_local char lastText[20];
        Char('"');
        if (seconds != lastSeconds) {
            char* from = p_;
            IsoTime(seconds);
            if (p_ - from == sizeof lastText) {
                std::memcpy(lastText, from, sizeof lastText);
                lastSeconds = seconds;
            }
        } else {
            std::memcpy(p_, lastText, sizeof lastText);
            p_ += sizeof lastText;
        }
        Char('"');
    }

private:
    // The end of the run of bytes from `i` that go over as they are: printable ASCII other
    // than the quote and the backslash. Eight bytes are tested at a time.
    static size_t PlainRun(const unsigned char* p, size_t i, size_t n) {
        constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
        auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
        for (; i + 8 <= n; i += 8) {
            uint64_t v;
            std::memcpy(&v, p + i, 8);
            // Bytes of 0x80 and above, below 0x20, quotes and backslashes.
            const uint64_t special = (v & kHigh) | ((v - 0x2020202020202020ull) & ~v & kHigh) |
                                     hasZero(v ^ (kOnes * '"')) | hasZero(v ^ (kOnes * '\\'));
            if (special != 0) break;
        }
        while (i < n && p[i] >= 0x20 && p[i] < 0x80 && p[i] != '"' && p[i] != '\\') ++i;
        return i;
    }

    void Two(uint32_t v) {
        *p_++ = static_cast<char>('0' + v / 10);
        *p_++ = static_cast<char>('0' + v % 10);
    }

    char* p_;
};

// Room one node's line can take at most.
size_t NodeJsonBound(const NodeResult& node, const std::string& typeName) {
    const size_t text = node.path.size() + node.name.size() + typeName.size() + node.originalPath.size() +
                        node.streamName.size() + node.maker.size() + node.model.size() + node.title.size() +
                        node.date.size();
    return 1024 + 6 * text + 96 * node.runs.size();
}

// One node of the json report, on one line; written by hand for speed.
char* WriteNodeJson(char* at, const NodeResult& node, const std::string& typeName) {
    JsonCursor out(at);
    out.NumberField("{\"id\":", node.id);
    out.NumberField(",\"parent_id\":", node.parentId);
    out.StringField(",\"path\":", node.path);
    out.StringField(",\"name\":", node.name);
    out.StringField(",\"kind\":", KindName(node.kind));
    out.FlagField(",\"deleted\":", node.Deleted());
    out.FlagField(",\"directory\":", node.directory);
    out.NumberField(",\"size\":", node.size);
    out.NumberField(",\"type_id\":", node.typeId);
    if (node.directory) {
        out.Literal(",\"type_name\":\"\",\"category\":null");
    } else {
        out.StringField(",\"type_name\":", typeName);
        out.NumberField(",\"category\":", static_cast<uint64_t>(TypeCategory(node.typeId)));
    }
    out.NumberField(",\"first_sector\":", node.firstSector);
    out.TimeField(",\"created\":", node.created);
    out.TimeField(",\"modified\":", node.modified);
    out.FlagField(",\"resident\":", node.resident);
    out.FlagField(",\"volume_label\":", node.volumeLabel);
    out.FlagField(",\"local_time\":", node.localTime);
    out.Literal(",\"runs\":[");
    for (size_t i = 0; i < node.runs.size(); ++i) {
        const DataRun& run = node.runs[i];
        const bool sparse = run.startSector == kSparseSector;
        if (i) out.Char(',');
        out.Literal("{\"start_sector\":");
        if (sparse) {
            out.Literal("null");
        } else {
            out.Number(run.startSector);
        }
        out.NumberField(",\"sector_count\":", run.sectorCount);
        out.FlagField(",\"sparse\":", sparse);
        out.Char('}');
    }
    out.Literal("],\"recycled\":");
    if (node.recycled) {
        out.StringField("{\"original_path\":", node.originalPath);
        out.TimeField(",\"deleted\":", node.recycledTime);
        out.Char('}');
    } else {
        out.Literal("null");
    }
    out.FlagField(",\"recycle_info\":", node.recycleInfo);
    out.Literal(",\"stream\":");
    if (node.isStream) {
        out.StringField("{\"name\":", node.streamName);
        out.NumberField(",\"owner_id\":", node.streamOwner);
        out.Char('}');
    } else {
        out.Literal("null");
    }
    out.Literal(",\"metadata\":");
    if (node.described) {
        out.StringField("{\"maker\":", node.maker);
        out.StringField(",\"model\":", node.model);
        out.StringField(",\"title\":", node.title);
        out.StringField(",\"date\":", node.date);
        out.Char('}');
    } else {
        out.Literal("null");
    }
    out.Char('}');
    return out.At();
}

void Tag(std::ostream& out, int indent, const char* name, const std::string& value) {
    out << std::string(indent, ' ') << '<' << name << '>' << XmlEscape(value) << "</" << name << ">\n";
}

}  // namespace

std::string IsoTime(uint32_t seconds) {
    if (seconds == 0) return {};
    char text[24];
    JsonCursor out(text);
    out.IsoTime(seconds);
    return std::string(text, out.At());
}

std::string HumanSize(uint64_t bytes) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    int unit = 0;
    while (unit < 5 && bytes >> (10 * (unit + 1)) != 0) ++unit;
    // bytes / 1024^unit with 2, 1 or 0 decimals, rounded half to even as printf rounds: the
    // quotient is a binary fraction, so integers give it exactly. The fraction below the unit
    // has at most 50 bits, so a hundred times it still fits.
    const unsigned shift = 10u * static_cast<unsigned>(unit);
    const uint64_t whole = bytes >> shift, mask = (uint64_t{1} << shift) - 1;
    const int decimals = whole < 10 ? 2 : whole < 100 ? 1 : 0;
    const uint64_t scale = decimals == 2 ? 100 : decimals == 1 ? 10 : 1;
    const uint64_t fraction = (bytes & mask) * scale;
    uint64_t q = whole * scale + (fraction >> shift);
    const uint64_t rest = fraction & mask, half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (q & 1) != 0)) ++q;
    // Digits from the right, the point among them.
    char text[40];
    char* at = std::end(text);
    for (int digit = 0; digit <= decimals || q != 0; ++digit) {
        if (digit == decimals && decimals != 0) *--at = '.';
        *--at = static_cast<char>('0' + q % 10);
        q /= 10;
    }
    std::string out(at, std::end(text));
    out += ' ';
    out += units[unit];
    return out;
}

namespace {

// What a container records of its acquisition; null for a raw source.
Json AcquisitionJson(const Source& source) {
    if (source.acquisition.empty()) return nullptr;
    Json out = Json::object();
    for (const auto& [name, value] : source.acquisition) out[name] = value;
    return out;
}

// The check of an image's stored hash; null when none was asked for.
Json VerificationJson(const ScanInfo& info) {
    if (!info.verification) return nullptr;
    const VerifyResult& v = *info.verification;
    return {{"stored_md5", v.storedMd5},
            {"computed_md5", v.computedMd5.empty() ? Json(nullptr) : Json(v.computedMd5)},
            {"complete", v.complete},
            {"unreadable_bytes", v.unreadableBytes},
            {"matched", v.Matched()}};
}

Json ScanJson(const ScanInfo& info) {
    Json types = Json::array();
    for (uint32_t type : info.selection.types) types.push_back(type);
    Json scan;
    scan["start_sector"] = info.startSector;
    scan["sector_count"] = info.sectorCount;
    scan["mode"] = info.mode;
    scan["time_zone"] = info.timeZone;
    scan["scan_mode"] = info.scanMode;
    scan["scan_kind"] = info.scanKind;
    scan["preview_path"] = info.previewPath.empty() ? Json(nullptr) : Json(info.previewPath);
    scan["deleted_only"] = info.selection.deletedOnly;
    scan["types"] = std::move(types);
    scan["min_size"] = info.selection.minSize;
    scan["max_size"] = info.selection.maxSize == UINT64_MAX ? Json(nullptr) : Json(info.selection.maxSize);
    scan["completed"] = !info.interrupted && (info.mode == "quick" || info.scannedSectors >= info.totalSectors);
    scan["interrupted"] = info.interrupted;
    scan["scanned_sectors"] = info.scannedSectors;
    scan["total_sectors"] = info.totalSectors;
    if (info.failedReads || !info.failedSectors.Empty()) {
        Json ranges = Json::array();
        for (const auto& [first, count] : info.failedSectors.Ranges())
            ranges.push_back({{"start_sector", first}, {"sector_count", count}});
        scan["read_errors"] = {{"failed_reads", info.failedReads.value_or(0)},
                               {"read_calls", info.readCalls},
                               {"failed_bytes", info.failedReads ? info.failedBytes : info.failedSectors.Sectors() * 512},
                               {"failed_ranges", std::move(ranges)}};
    } else {
        scan["read_errors"] = nullptr;
    }
    return scan;
}

std::string Dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// One node per line, each partition's nodes as they come; the summary closes the document.
class JsonReport final : public ReportWriter {
public:
    explicit JsonReport(std::ostream& out) : out_(out) {}
    void Begin(const ScanInfo& info) override {
        out_ << "{\n \"schema\": \"ravlin-report\",\n \"schema_version\": 1,\n \"program\": "
             << Dump({{"name", "ravlin"}, {"version", kHostVersion}, {"library_version", LibraryVersion()}})
             << ",\n \"started\": " << Dump(info.startedAt) << ",\n \"source\": "
             << Dump({{"argument", info.source.argument},
                      {"path", info.source.localPath},
                      {"size_bytes", info.source.sizeBytes},
                      {"block_device", info.source.blockDevice},
                      {"container", info.source.container},
                      {"acquisition", AcquisitionJson(info.source)},
                      {"verification", VerificationJson(info)}})
             << ",\n \"scan\": " << Dump(ScanJson(info)) << ",\n \"partitions\": [";
    }
    void Part(const PartResult& part) override {
        Json p;
        p["index"] = part.index;
        p["name"] = part.Label();
        p["device_path"] = part.devicePath;
        p["second_name"] = part.secondName;
        p["display_name"] = part.displayName;
        p["volume_label"] = part.volumeLabel.empty() ? Json(nullptr) : Json(part.volumeLabel);
        p["fs"] = FsTypeName(part.fsType);
        p["fs_type"] = part.fsType;
        p["start_sector"] = part.startSector;
        p["sector_count"] = part.sectorCount;
        p["listed"] = part.listed;
        p["file_count"] = part.fileCount;
        p["drive_letter"] = part.driveLetter ? Json(std::string(1, static_cast<char>(part.driveLetter))) : Json(nullptr);
        p["root_id"] = part.rootId;
        std::string head = Dump(p);
        head.pop_back();  // the closing brace: the nodes follow
        out_ << (parts_++ ? "," : "") << "\n  " << head << ", \"nodes\": [";
        nodes_ = 0;
    }
    void Node(const PartResult&, NodeResult&& node) override {
        const std::string& typeName = TypeName(node.typeId);
        const size_t bound = NodeJsonBound(node, typeName) + 8;
        if (pending_.size() - used_ < bound) {
            Flush();
            if (pending_.size() < bound) pending_.resize(std::max(bound, kFlushBytes));
        }
        JsonCursor out(pending_.data() + used_);
        if (nodes_++) {
            out.Literal(",\n   ");
        } else {
            out.Literal("\n   ");
        }
        used_ = static_cast<size_t>(WriteNodeJson(out.At(), node, typeName) - pending_.data());
    }
    void EndPart(const PartResult&) override {
        Flush();
        out_ << (nodes_ ? "\n  ]}" : "]}");
    }
    void End(const ScanTotals& totals) override {
        Flush();
        out_ << (parts_ ? "\n ]" : "]") << ",\n \"summary\": "
             << Dump({{"files", totals.files}, {"bytes", totals.bytes}, {"deleted_files", totals.deletedFiles}})
             << "\n}\n";
    }

private:
    std::ostream& out_;
    uint64_t parts_ = 0;
    uint64_t nodes_ = 0;
    // Nodes go out a megabyte at a time, from a buffer made once.
    static constexpr size_t kFlushBytes = size_t{1} << 20;
    std::vector<char> pending_ = std::vector<char>(kFlushBytes);
    size_t used_ = 0;
    void Flush() {
        out_.write(pending_.data(), static_cast<std::streamsize>(used_));
        used_ = 0;
    }
};

class DfxmlReport final : public ReportWriter {
public:
    explicit DfxmlReport(std::ostream& out) : out_(out) {}
    void Begin(const ScanInfo& info) override {
        out_ << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\"\n"
                "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\" version=\"1.1.0\">\n"
                "  <metadata>\n"
                "    <dc:type>File System Analysis</dc:type>\n"
                "  </metadata>\n";
        out_ << "  <!-- FAT and exFAT times without a zone were read as times of " << XmlEscape(info.timeZone)
             << " -->\n  <creator>\n";
        Tag(out_, 4, "program", "ravlin");
        Tag(out_, 4, "version", kHostVersion);
        out_ << "    <library name=\"ravlin\" version=\"" << XmlEscape(LibraryVersion()) << "\"/>\n"
             << "  </creator>\n  <source>\n";
        Tag(out_, 4, "image_filename", info.source.localPath);
        out_ << "  </source>\n";
        // The schema has no element for a container: its format and records go in a comment.
        if (info.source.container != "raw") {
            std::string note = "container: " + info.source.container;
            for (const auto& [name, value] : info.source.acquisition) note += "; " + name + ": " + value;
            if (info.verification) note += "; verification: " + VerifyMessage(*info.verification);
            while (note.find("--") != std::string::npos) note.replace(note.find("--"), 2, "- -");
            out_ << "  <!-- " << XmlEscape(note) << " -->\n";
        }
    }
    void Part(const PartResult& part) override {
        out_ << "  <volume offset=\"" << part.startSector * 512 << "\">\n";
        if (part.startSector > 0) out_ << "    <partition_offset>" << part.startSector * 512 << "</partition_offset>\n";
        out_ << "    <sector_size>512</sector_size>\n";
        Tag(out_, 4, "ftype_str", FsTypeName(part.fsType));
        if (part.sectorCount > 0) out_ << "    <block_count>" << part.sectorCount << "</block_count>\n";
    }
    void Node(const PartResult& part, NodeResult&& node) override {
        std::ostream& out = out_;
        out << "    <fileobject>\n";
        Tag(out, 6, "filename", node.path);
        out << "      <partition>" << part.index + 1 << "</partition>\n"
            << "      <id>" << part.index << '-' << node.id << "</id>\n"
            << "      <name_type>" << (node.directory ? 'd' : 'r') << "</name_type>\n";
        if (!node.directory) out << "      <filesize>" << node.size << "</filesize>\n";
        out << (node.Deleted() ? "      <unalloc>1</unalloc>\n" : "      <alloc>1</alloc>\n")
            << "      <inode>" << node.Inode() << "</inode>\n";
        if (node.modified) Tag(out, 6, "mtime", IsoTime(node.modified));
        if (node.created) Tag(out, 6, "crtime", IsoTime(node.created));
        if (!node.directory && (!node.runs.empty() || node.resident)) {
            out << "      <byte_runs>\n";
            uint64_t fileOffset = 0;
            if (node.resident) {
                out << "        <byte_run file_offset=\"0\" len=\"" << node.size << "\" type=\"resident\"/>\n";
            }
            for (const auto& run : node.runs) {
                if (node.resident) break;
                uint64_t len = run.sectorCount * 512;
                out << "        <byte_run file_offset=\"" << fileOffset << '"';
                if (run.startSector == kSparseSector)
                    out << " fill=\"0\"";
                else
                    out << " img_offset=\"" << run.startSector * 512 << '"';
                out << " len=\"" << len << "\"/>\n";
                fileOffset += len;
            }
            out << "      </byte_runs>\n";
        }
        out << "    </fileobject>\n";
    }
    void EndPart(const PartResult&) override { out_ << "  </volume>\n"; }
    void End(const ScanTotals&) override { out_ << "</dfxml>\n"; }

private:
    std::ostream& out_;
};

// MD5|name|inode|mode_as_string|UID|GID|size|atime|mtime|ctime|crtime
class BodyReport final : public ReportWriter {
public:
    explicit BodyReport(std::ostream& out) : out_(out) {}
    void Begin(const ScanInfo&) override {}
    void Part(const PartResult& part) override { prefix_ = "/" + std::to_string(part.index) + "_" + part.Label() + "/"; }
    void Node(const PartResult&, NodeResult&& node) override {
        std::string name = prefix_ + node.path;
        if (node.Deleted()) name += " (deleted)";
        out_ << "0|" << EscapeBodyField(name) << '|' << node.Inode() << '|'
             << (node.directory ? "d/drwxrwxrwx" : "r/rrwxrwxrwx") << "|0|0|" << node.size << "|0|" << node.modified
             << "|0|" << node.created << '\n';
    }
    void End(const ScanTotals&) override {}

private:
    std::ostream& out_;
    std::string prefix_;
};

void WriteWhole(ReportWriter& writer, const ScanInfo& info, const ScanResults& results) {
    writer.Begin(info);
    for (const auto& part : results.parts) {
        PartResult head = part;
        head.nodes.clear();
        writer.Part(head);
        for (NodeResult node : part.nodes) writer.Node(head, std::move(node));
        writer.EndPart(head);
    }
    writer.End({results.files, results.bytes, results.deletedFiles});
}

}  // namespace

std::unique_ptr<ReportWriter> MakeReportWriter(const std::string& format, std::ostream& out) {
    if (format == "json") return std::make_unique<JsonReport>(out);
    if (format == "dfxml") return std::make_unique<DfxmlReport>(out);
    if (format == "body") return std::make_unique<BodyReport>(out);
    return nullptr;
}

void WriteJsonReport(std::ostream& out, const ScanInfo& info, const ScanResults& results) {
    JsonReport writer(out);
    WriteWhole(writer, info, results);
}

void WriteDfxmlReport(std::ostream& out, const ScanInfo& info, const ScanResults& results) {
    DfxmlReport writer(out);
    WriteWhole(writer, info, results);
}

// 1048576 as "1,048,576".
std::string Grouped(uint64_t value) {
    std::string digits = std::to_string(value), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string Printable(const std::string& text) {
    auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; };
    if (std::none_of(text.begin(), text.end(), control)) return text;
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string EscapeBodyField(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '|' || c == '\\' || byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

void WriteBodyReport(std::ostream& out, const ScanResults& results) {
    BodyReport writer(out);
    WriteWhole(writer, ScanInfo(), results);
}

std::string PartitionLine(const PartResult& part, const ScanTotals& totals) {
    return "[" + std::to_string(part.index) + "] " + Printable(part.Label()) + " (" + FsTypeName(part.fsType) + ", " +
           Grouped(part.startSector) + "+" + Grouped(part.sectorCount) + " sectors, " +
           HumanSize(part.sectorCount * 512) + "), " + std::to_string(totals.files) +
           (totals.files == 1 ? " file" : " files") + ", " + HumanSize(totals.bytes) + ", " +
           std::to_string(totals.deletedFiles) + " deleted";
}

Json PartitionJson(const PartResult& part, const ScanTotals& totals) {
    return {{"index", part.index},
            {"name", part.Label()},
            {"volume_label", part.volumeLabel.empty() ? Json(nullptr) : Json(part.volumeLabel)},
            {"fs", FsTypeName(part.fsType)},
            {"start_sector", part.startSector},
            {"sector_count", part.sectorCount},
            {"listed", part.listed},
            {"files", totals.files},
            {"bytes", totals.bytes},
            {"deleted_files", totals.deletedFiles}};
}

std::string PartitionsJson(const std::vector<std::pair<PartResult, ScanTotals>>& parts) {
    Json list = Json::array();
    for (const auto& [part, totals] : parts) list.push_back(PartitionJson(part, totals));
    return list.dump(1, ' ', false, Json::error_handler_t::replace);
}

void WriteListing(std::ostream& out, const ScanResults& results, const TimeZone& zone) {
    for (const auto& part : results.parts) {
        ScanTotals totals;
        for (const auto& node : part.nodes) {
            if (node.directory) continue;
            ++totals.files, totals.bytes += node.size;
            if (node.Deleted()) ++totals.deletedFiles;
        }
        out << PartitionLine(part, totals) << '\n';
        // A node is the last of its siblings when no later node has its depth before a
        // shallower one does.
        const auto& nodes = part.nodes;
        std::vector<bool> last(nodes.size());
        std::vector<bool> laterSibling;
        for (size_t i = nodes.size(); i-- > 0;) {
            size_t depth = static_cast<size_t>(nodes[i].depth);
            if (laterSibling.size() < depth + 1) laterSibling.resize(depth + 1, false);
            last[i] = !laterSibling[depth];
            laterSibling[depth] = true;
            laterSibling.resize(depth + 1);
        }
        std::vector<bool> open;  // per depth: an ancestor has siblings still to come
        // Lines are gathered and written some 64 KiB at a time.
        std::string lines;
        for (size_t i = 0; i < nodes.size(); ++i) {
            const auto& node = nodes[i];
            size_t depth = static_cast<size_t>(node.depth);
            open.resize(depth + 1);
            for (size_t d = 0; d < depth; ++d) lines += open[d] ? "\xE2\x94\x82   " : "    ";
            lines += last[i] ? "\xE2\x94\x94\xE2\x94\x80\xE2\x94\x80 " : "\xE2\x94\x9C\xE2\x94\x80\xE2\x94\x80 ";
            open[depth] = !last[i];
            lines += Printable(node.detached ? node.path : node.name);
            if (node.directory) {
                lines += '/';
            } else {
                lines += "  ";
                lines += HumanSize(node.size);
                if (node.modified) {
                    lines += "  ";
                    lines += zone.Format(node.modified);
                }
            }
            if (node.recycled) lines += "  [recycled]";
            else if (node.Deleted()) lines += "  [deleted]";
            lines += '\n';
            if (lines.size() >= (64u << 10)) {
                out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
                lines.clear();
            }
        }
        out.write(lines.data(), static_cast<std::streamsize>(lines.size()));
    }
}

}  // namespace ravlin::cli
