// ravlin: scan an image file or a block device, list, report and recover what it holds.
#include <CLI/CLI.hpp>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "Digest.h"
#include "ExitCodes.h"
#include "Report.h"
#include "Scan.h"
#include "Selection.h"
#include "Session.h"
#include "Unicode.h"
#include "Version.h"
#include "ravlin/Ravlin.h"

namespace ravlin::cli {
namespace {

namespace fs = std::filesystem;

std::string VersionText() {
    std::ostringstream out;
    out << "ravlin " << kHostVersion << "\n"
        << "  libravlin " << LibraryVersion() << "\n"
        << "  CLI11 " << CLI11_VERSION << "\n"
        << "  nlohmann/json " << NLOHMANN_JSON_VERSION_MAJOR << '.' << NLOHMANN_JSON_VERSION_MINOR << '.'
        << NLOHMANN_JSON_VERSION_PATCH << "\n"
        << "  " << CryptoVersion() << "\n"
        << "  zlib " << zlibVersion() << "\n"
        << "  containers: ";
    const auto containers = SupportedContainers();
    if (containers.empty()) out << "none (raw images and devices only)";
    for (size_t i = 0; i < containers.size(); ++i) out << (i ? ", " : "") << ToUtf8(containers[i]);
    return out.str();
}

int ListDisks() {
    auto devices = ListDevices();
    // The device path first: it is what a shell takes unquoted. The library's own name for
    // it is accepted too.
    std::cout << std::left << std::setw(22) << "DEVICE" << std::setw(12) << "SIZE" << "ALSO NAMED\n";
    for (const auto& device : devices) {
        std::string size = device.sizeBytes ? HumanSize(device.sizeBytes) : "-";
        std::cout << std::left << std::setw(22) << ToUtf8(device.target) << std::setw(12) << size
                  << ToUtf8(device.name) << (device.registered ? "  (registered)" : "") << '\n';
    }
    if (devices.empty()) std::cerr << "ravlin: no disks found (scanning an image file needs none)\n";
    return kExitOk;
}

int ListTypes() {
    std::cout << std::left << std::setw(6) << "ID" << std::setw(12) << "TYPE" << std::setw(11) << "CATEGORY"
              << "EXTENSIONS\n";
    for (const auto& type : ListFileTypes()) {
        std::string extensions;
        for (const auto& e : type.extensions) extensions += (extensions.empty() ? "" : " ") + ToUtf8(e);
        const auto& aliases = CategoryAliases();
        std::string category = type.category < aliases.size() ? aliases[type.category] : "other";
        std::cout << std::left << std::setw(6) << type.typeId << std::setw(12) << ToUtf8(type.name)
                  << std::setw(11) << category << extensions << '\n';
    }
    return kExitOk;
}

fs::path CacheFolder() {
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache) return fs::path(cache) / "ravlin";
    if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / ".cache" / "ravlin";
    return fs::temp_directory_path() / "ravlin";
}

// Unpacks the bundled sample disk into the cache folder; empty path on failure.
fs::path UnpackSample(std::string& error) {
    fs::path packed = RAVLIN_SAMPLE_DISK;
    if (const char* override = std::getenv("RAVLIN_SAMPLE_DISK"); override && *override) packed = override;
    gzFile in = gzopen(packed.c_str(), "rb");
    if (!in) {
        error = "cannot open the sample disk " + packed.string();
        return {};
    }
    std::error_code ec;
    fs::path folder = CacheFolder();
    fs::create_directories(folder, ec);
    fs::path image = folder / "sample-disk.img";
    fs::path partial = folder / "sample-disk.img.part";
    FILE* out = std::fopen(partial.c_str(), "wb");
    if (!out) {
        gzclose(in);
        error = "cannot create " + partial.string();
        return {};
    }
    std::vector<char> buffer(1 << 20);
    bool ok = true;
    for (;;) {
        int got = gzread(in, buffer.data(), static_cast<unsigned>(buffer.size()));
        if (got < 0) ok = false;
        if (got <= 0) break;
        if (std::fwrite(buffer.data(), 1, static_cast<size_t>(got), out) != static_cast<size_t>(got)) {
            ok = false;
            break;
        }
    }
    gzclose(in);
    ok = std::fclose(out) == 0 && ok;
    if (ok) fs::rename(partial, image, ec);
    if (!ok || ec) {
        fs::remove(partial, ec);
        error = "cannot unpack the sample disk into " + folder.string();
        return {};
    }
    return image;
}

int RunDemo(bool quiet) {
    std::string error;
    fs::path image = UnpackSample(error);
    if (image.empty()) {
        std::cerr << "ravlin: " << error << '\n';
        return kExitNoInput;
    }
    if (!quiet) std::cerr << "ravlin: scanning the sample disk " << image.string() << '\n';
    ScanOptions options;
    options.source = image.string();
    options.list = true;
    options.recover = "recovered";
    options.recoverDeletedOnly = true;
    options.mode = "full";
    options.quiet = quiet;
    int code = RunScan(options);
    if (code == kExitOk) {
        std::error_code ec;
        std::cerr << "ravlin: the sample disk's deleted files are in " << fs::absolute("recovered", ec).string()
                  << " (the list with checksums: recovered/recovered.json)\n";
    }
    return code;
}

// One line on stderr for a usage error, with the way to more help.
int UsageError(const CLI::App& app, const CLI::ParseError& e) {
    std::string message = e.what();
    while (!message.empty() && message.back() == '\n') message.pop_back();
    for (char& c : message)
        if (c == '\n') c = ' ';
    std::cerr << "ravlin: " << message << " (try '" << app.get_name() << " --help')\n";
    return kExitUsage;
}

}  // namespace

int Main(int argc, char** argv) {
    CLI::App app{"ravlin: finds the files of damaged, formatted or deleted-from disks and image files\n"
                 "and recovers them without ever writing to the source.",
                 "ravlin"};
    app.set_version_flag("--version", std::function<std::string()>(VersionText));  // made when asked for: it loads libraries
    app.require_subcommand(1);
    app.footer("Exit codes: 0 success, 64 usage, 65 a saved scan that does not fit or is damaged, or an image\n"
               "whose data does not match its stored MD5,\n66 cannot open the source, 73 cannot create output, 74 I/O error, 130 interrupted.");

    ScanOptions scan;
    std::string count;
    auto* scanCommand = app.add_subcommand("scan", "Scan an image file, a block device or a device name");
    scanCommand->add_option("SOURCE", scan.source,
                            "Image file, block device (/dev/sdb), or EWF image (its .E01; see --version for the containers "
                            "this build reads)")
        ->required();
    scanCommand->add_option("--start", scan.start, "First sector of the region (512-byte sectors)");
    scanCommand->add_option("--count", count, "Sectors in the region (default: to the end)");
    bool deep = false;
    scanCommand->add_flag("--deep", deep, "Deep scan: also read every sector, carve files and rebuild lost volumes");
    scanCommand->add_option("--mode", scan.mode,
                            "quick (file systems only, default), full (the same as --deep), raw or video");
    scanCommand->add_option("--kind", scan.kind, "whole (default), free, free-browse, all-disks, or 1, 2, 5, 8");
    scanCommand->add_flag("--deleted-only", scan.deletedOnly, "Only deleted files");
    scanCommand->add_option("--preview-path", scan.previewPath,
                            "Only what lies below this path inside a partition, e.g. Users/alice/Pictures");
    scanCommand->add_option("--partition", scan.partitions, "Only partition N (as listed; repeatable)");
    scanCommand->add_option("--only", scan.only, "Only this path or pattern and what lies below, e.g. 'DCIM/*.JPG' (repeatable)");
    scanCommand->add_option("--id", scan.ids, "Only the file or folder with this node id (repeatable)");
    scanCommand->add_flag("--skip-existing", scan.skipExisting,
                          "Recovery: skip files recovered whole into DIR before (checked by size and MD5)");
    scanCommand->add_option("--types", scan.types, "File types or extensions, comma-separated (see 'ravlin types')");
    scanCommand->add_option("--categories", scan.categories,
                            "pictures, documents, videos, audio, archives, mail, other");
    scanCommand->add_option("--min-size", scan.minSize, "Smallest file, e.g. 10k");
    scanCommand->add_option("--max-size", scan.maxSize, "Largest file, e.g. 2G");
    scanCommand->add_flag("--list", scan.list, "Print the tree of found files on stdout");
    scanCommand->add_option("--report", scan.report, "Write a report to FILE ('-' for stdout)");
    scanCommand->add_option("--format", scan.format, "Report format: json (default), dfxml or body");
    scanCommand->add_option("--recover", scan.recover, "Recover the selected files into DIR");
    scanCommand->add_flag("-q,--quiet", scan.quiet, "No progress or messages, only errors");
    scanCommand->add_option("--bad-map", scan.badMap,
                            "Write the unreadable sectors met by the scan and the recovery as a ddrescue map file");
    scanCommand->add_flag("--utc", scan.utc, "List times in UTC instead of the zone of --tz");
    scanCommand->add_flag("--verify", scan.verify,
                          "Check the MD5 an EWF (E01) image stores against its data while scanning");
    scanCommand->add_option("--session", scan.session,
                            "Save the deep scan into DIR when it ends, when stopped with Ctrl-C, and every few minutes");
    scanCommand->add_option("--resume", scan.resume,
                            "Go on with the deep scan saved in FILE (from --session; see 'ravlin sessions')");
    scanCommand->add_option("--save-every", scan.saveEverySeconds, "Seconds between saves of --session (default 300)")
        ->check(CLI::Range(1u, 86400u));
    scanCommand->add_option("--tz", scan.timeZone,
                            "Zone the device's clock was set to, for FAT and exFAT times (default: this machine's)");

    app.add_subcommand("disks", "List the disks and registered names that can be scanned");
    ScanOptions partitions;
    auto* partitionsCommand =
        app.add_subcommand("partitions", "List the partitions of a disk or image with their volumes' labels and files");
    partitionsCommand->add_option("SOURCE", partitions.source, "Image file or block device (/dev/sdb)")->required();
    partitionsCommand->add_flag("--json", partitions.partitionsJson, "As a json array");
    partitionsCommand->add_flag("--deep", partitions.partitionsDeep, "Also look for lost and damaged volumes in every sector");
    std::string sessionsFolder;
    bool sessionsJson = false;
    auto* sessionsCommand = app.add_subcommand("sessions", "List the scans saved in a folder by --session");
    sessionsCommand->add_option("DIR", sessionsFolder, "The folder given to --session")->required();
    sessionsCommand->add_flag("--json", sessionsJson, "As a json array");
    app.add_subcommand("types", "List the file types with their categories and extensions");
    bool demoQuiet = false;
    auto* demo = app.add_subcommand("demo", "Scan the bundled sample disk and recover its deleted files");
    demo->add_flag("-q,--quiet", demoQuiet, "No progress or messages");

    const std::set<std::string> commands{"scan", "partitions", "sessions", "disks", "types", "demo"};
    if (argc > 1 && argv[1][0] != '-' && !commands.count(argv[1])) {
        std::cerr << "ravlin: unknown command '" << argv[1]
                  << "' (scan, partitions, sessions, disks, types or demo; try 'ravlin --help')\n";
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return UsageError(app, e);
    }
    if (scanCommand->parsed()) {
        if (!count.empty()) {
            uint64_t value = 0;
            if (!ParseSize(count, value) || count.find_first_not_of("0123456789") != std::string::npos) {
                std::cerr << "ravlin: bad --count '" << count << "' (a number of sectors)\n";
                return kExitUsage;
            }
            scan.count = value;
        }
        // Going on with a saved scan is a deep scan.
        if (!scan.resume.empty() && scan.mode == "quick") deep = true;
        if (deep) {
            if (scan.mode != "quick" && AsciiLower(scan.mode) != "full") {
                std::cerr << "ravlin: --deep and --mode " << scan.mode << " both choose the scan\n";
                return kExitUsage;
            }
            scan.mode = "full";
        }
        return RunScan(scan);
    }
    if (partitionsCommand->parsed()) {
        partitions.partitionsOnly = true;
        partitions.quiet = true;
        if (partitions.partitionsDeep) partitions.mode = "full";
        return RunScan(partitions);
    }
    if (sessionsCommand->parsed()) return ListSessions(sessionsFolder, sessionsJson);
    if (app.got_subcommand("disks")) return ListDisks();
    if (app.got_subcommand("types")) return ListTypes();
    if (demo->parsed()) return RunDemo(demoQuiet);
    return kExitUsage;
}

}  // namespace ravlin::cli

int main(int argc, char** argv) {
    try {
        return ravlin::cli::Main(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "ravlin: " << e.what() << '\n';
        return ravlin::cli::kExitIoError;
    }
}
