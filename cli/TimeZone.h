// The zone a device's clock was set to: FAT and exFAT keep wall-clock times without one.
#pragma once

#include <cstdint>
#include <string>

namespace ravlin::cli {

class TimeZone {
public:
    // The zone named by `name` (a tz database name such as "Europe/Berlin", "UTC", or a fixed
    // offset "+02:00" / "-0530"); empty means the machine's zone (TZ, else /etc/localtime).
    // False with `error` for a name the tz database does not know.
    static bool Resolve(const std::string& name, TimeZone& out, std::string& error);

    // The name reports give for it.
    const std::string& Name() const { return name_; }

    // The UTC instant of a wall-clock time that was counted as if it were UTC. Daylight saving
    // follows the date of the time itself; 0 stays 0 (unknown).
    uint32_t ToUtc(uint32_t wallClock) const;

    // A UTC instant as this zone's local time, to the second, with the zone's abbreviation:
    // "2020-09-13 12:26:50 CEST". Empty for 0.
    std::string Format(uint32_t utc) const;

private:
    std::string name_ = "UTC";
    std::string rule_ = "UTC0";  // the TZ value that selects the zone
    mutable uint32_t lastUtc_ = 0;  // the last time formatted, and its text
    mutable std::string lastText_;
};

}  // namespace ravlin::cli
