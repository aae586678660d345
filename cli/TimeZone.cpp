#include "TimeZone.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace ravlin::cli {
namespace {

namespace fs = std::filesystem;

fs::path ZoneDirectory() {
    const char* dir = std::getenv("TZDIR");
    return dir && *dir ? fs::path(dir) : fs::path("/usr/share/zoneinfo");
}

// A tz database name: relative, no "..", a TZif file under the zone directory.
bool KnownZone(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.find("..") != std::string::npos) return false;
    std::ifstream file(ZoneDirectory() / name, std::ios::binary);
    char magic[4] = {};
    return file.read(magic, 4) && std::string(magic, 4) == "TZif";
}

// "+02:00", "-0530", "+2": a POSIX rule for that fixed offset east of UTC.
bool FixedOffset(const std::string& text, std::string& rule) {
    if (text.size() < 2 || (text[0] != '+' && text[0] != '-')) return false;
    std::string digits;
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == ':' && i == 3) continue;
        if (text[i] < '0' || text[i] > '9') return false;
        digits += text[i];
    }
    int hours = 0, minutes = 0;
    if (digits.size() <= 2) {
        hours = std::stoi(digits);
    } else if (digits.size() == 4) {
        hours = std::stoi(digits.substr(0, 2));
        minutes = std::stoi(digits.substr(2));
    } else {
        return false;
    }
    if (hours > 14 || minutes > 59) return false;
    // POSIX counts west of UTC as positive.
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "<%c%02d%02d>%c%d:%02d", text[0], hours, minutes,
                  text[0] == '+' ? '-' : '+', hours, minutes);
    rule = buffer;
    return true;
}

// The machine's zone: TZ when set, else the zone /etc/localtime links to.
std::string MachineZone() {
    if (const char* tz = std::getenv("TZ"); tz && *tz) return tz[0] == ':' ? tz + 1 : tz;
    std::error_code ec;
    fs::path target = fs::read_symlink("/etc/localtime", ec);
    if (!ec) {
        std::string text = target.string();
        size_t at = text.find("zoneinfo/");
        if (at != std::string::npos) return text.substr(at + 9);
    }
    std::ifstream named("/etc/timezone");
    std::string line;
    if (named && std::getline(named, line) && !line.empty()) return line;
    return "UTC";
}

// mktime reads the process's zone: it is switched to the rule asked for when it differs. The
// host converts on one thread, after the scan.
void SelectRule(const std::string& rule) {
    static std::string selected;
    if (selected == rule) return;
    ::setenv("TZ", rule.c_str(), 1);
    ::tzset();
    selected = rule;
}

}  // namespace

bool TimeZone::Resolve(const std::string& requested, TimeZone& out, std::string& error) {
    std::string name = requested.empty() ? MachineZone() : requested;
    TimeZone zone;
    if (name == "UTC" || name == "GMT" || name == "Z") {
        zone.name_ = "UTC";
        zone.rule_ = "UTC0";
    } else if (FixedOffset(name, zone.rule_)) {
        zone.name_ = name;
    } else if (KnownZone(name)) {
        zone.name_ = name;
        zone.rule_ = ":" + name;
    } else if (requested.empty()) {
        zone.name_ = "UTC";  // an unknown machine setting: times stay as they are
        zone.rule_ = "UTC0";
    } else {
        error = "unknown time zone '" + name + "' (a name such as Europe/Berlin, UTC, or an offset such as +02:00)";
        return false;
    }
    out = zone;
    return true;
}

std::string TimeZone::Format(uint32_t utc) const {
    if (utc == 0) return {};
    if (utc == lastUtc_) return lastText_;  // neighbouring files mostly share their times
    SelectRule(rule_);
    std::time_t t = utc;
    std::tm tm{};
    if (!::localtime_r(&t, &tm)) return {};
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &tm) == 0) return {};
    lastUtc_ = utc;
    lastText_ = text;
    return lastText_;
}

uint32_t TimeZone::ToUtc(uint32_t wallClock) const {
    if (wallClock == 0) return 0;
    SelectRule(rule_);
    std::time_t t = wallClock;
    std::tm tm{};
    if (!::gmtime_r(&t, &tm)) return wallClock;
    tm.tm_isdst = -1;  // daylight saving as the zone had it on that date
    std::time_t utc = std::mktime(&tm);
    if (utc <= 0 || utc > std::time_t{UINT32_MAX}) return wallClock;
    return static_cast<uint32_t>(utc);
}

}  // namespace ravlin::cli
