#include "Report.h"

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

// JSON text of a string: quotes, backslashes and control characters escaped, bytes that are not
// UTF-8 replaced by U+FFFD.
void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += static_cast<char>(c);
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
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out += '"';
}

void AppendTime(std::string& out, uint32_t seconds) {
    if (seconds == 0) {
        out += "null";
        return;
    }
    out += '"';
    out += IsoTime(seconds);
    out += '"';
}

// One node of the json report, on one line; written by hand for speed.
void AppendNodeJson(std::string& out, const NodeResult& node) {
    auto number = [&](const char* key, uint64_t value) {
        out += key;
        out += std::to_string(value);
    };
    auto flag = [&](const char* key, bool value) {
        out += key;
        out += value ? "true" : "false";
    };
    number("{\"id\": ", node.id);
    number(", \"parent_id\": ", node.parentId);
    out += ", \"path\": ";
    AppendJsonString(out, node.path);
    out += ", \"name\": ";
    AppendJsonString(out, node.name);
    out += ", \"kind\": ";
    AppendJsonString(out, KindName(node.kind));
    flag(", \"deleted\": ", node.Deleted());
    flag(", \"directory\": ", node.directory);
    number(", \"size\": ", node.size);
    number(", \"type_id\": ", node.typeId);
    out += ", \"type_name\": ";
    AppendJsonString(out, node.directory ? std::string() : TypeName(node.typeId));
    out += ", \"category\": ";
    out += node.directory ? std::string("null") : std::to_string(TypeCategory(node.typeId));
    number(", \"first_sector\": ", node.firstSector);
    out += ", \"created\": ";
    AppendTime(out, node.created);
    out += ", \"modified\": ";
    AppendTime(out, node.modified);
    flag(", \"resident\": ", node.resident);
    flag(", \"volume_label\": ", node.volumeLabel);
    flag(", \"local_time\": ", node.localTime);
    out += ", \"runs\": [";
    for (size_t i = 0; i < node.runs.size(); ++i) {
        const DataRun& run = node.runs[i];
        const bool sparse = run.startSector == kSparseSector;
        out += i ? ", {\"start_sector\": " : "{\"start_sector\": ";
        out += sparse ? std::string("null") : std::to_string(run.startSector);
        number(", \"sector_count\": ", run.sectorCount);
        flag(", \"sparse\": ", sparse);
        out += '}';
    }
    out += "], \"recycled\": ";
    if (node.recycled) {
        out += "{\"original_path\": ";
        AppendJsonString(out, node.originalPath);
        out += ", \"deleted\": ";
        AppendTime(out, node.recycledTime);
        out += '}';
    } else {
        out += "null";
    }
    flag(", \"recycle_info\": ", node.recycleInfo);
    out += ", \"stream\": ";
    if (node.isStream) {
        out += "{\"name\": ";
        AppendJsonString(out, node.streamName);
        number(", \"owner_id\": ", node.streamOwner);
        out += '}';
    } else {
        out += "null";
    }
    out += ", \"metadata\": ";
    if (node.described) {
        out += "{\"maker\": ";
        AppendJsonString(out, node.maker);
        out += ", \"model\": ";
        AppendJsonString(out, node.model);
        out += ", \"title\": ";
        AppendJsonString(out, node.title);
        out += ", \"date\": ";
        AppendJsonString(out, node.date);
        out += '}';
    } else {
        out += "null";
    }
    out += '}';
}

void Tag(std::ostream& out, int indent, const char* name, const std::string& value) {
    out << std::string(indent, ' ') << '<' << name << '>' << XmlEscape(value) << "</" << name << ">\n";
}

}  // namespace

std::string IsoTime(uint32_t seconds) {
    if (seconds == 0) return {};
    std::time_t t = seconds;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string HumanSize(uint64_t bytes) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 5) value /= 1024, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.2f %s" : value < 100 ? "%.1f %s" : "%.0f %s", value,
                  units[unit]);
    return text;
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
        line_.assign(nodes_++ ? ",\n   " : "\n   ");
        AppendNodeJson(line_, node);
        out_ << line_;
    }
    void EndPart(const PartResult&) override { out_ << (nodes_ ? "\n  ]}" : "]}"); }
    void End(const ScanTotals& totals) override {
        out_ << (parts_ ? "\n ]" : "]") << ",\n \"summary\": "
             << Dump({{"files", totals.files}, {"bytes", totals.bytes}, {"deleted_files", totals.deletedFiles}})
             << "\n}\n";
    }

private:
    std::ostream& out_;
    uint64_t parts_ = 0;
    uint64_t nodes_ = 0;
    std::string line_;  // kept: one allocation for every node
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
        for (size_t i = 0; i < nodes.size(); ++i) {
            const auto& node = nodes[i];
            size_t depth = static_cast<size_t>(node.depth);
            open.resize(depth + 1);
            std::string line;
            for (size_t d = 0; d < depth; ++d) line += open[d] ? "\xE2\x94\x82   " : "    ";
            line += last[i] ? "\xE2\x94\x94\xE2\x94\x80\xE2\x94\x80 " : "\xE2\x94\x9C\xE2\x94\x80\xE2\x94\x80 ";
            open[depth] = !last[i];
            line += Printable(node.detached ? node.path : node.name);
            if (node.directory) {
                line += "/";
            } else {
                line += "  " + HumanSize(node.size);
                if (node.modified) line += "  " + zone.Format(node.modified);
            }
            if (node.recycled) line += "  [recycled]";
            else if (node.Deleted()) line += "  [deleted]";
            out << line << '\n';
        }
    }
}

}  // namespace ravlin::cli
