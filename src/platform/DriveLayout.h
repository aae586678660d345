// The partition layout of a whole disk, computed from its MBR (with every extended table) or
// its GPT, in the form the system reports it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Device.h"

namespace ravlin::platform {

struct LayoutEntry {
    uint64_t startingOffset = 0;  // bytes
    uint64_t length = 0;          // bytes; 0 for an unused slot
    uint8_t mbrType = 0;          // MBR partition type; 0 on GPT
};

struct DriveLayout {
    bool gpt = false;
    // MBR: the four primary slots, then four slots per extended boot record (the logical
    // partition, the link to the next record as an extended container, two unused). GPT: one
    // entry per used partition entry.
    std::vector<LayoutEntry> entries;
};

// Null when the source carries no partition table (a volume, or an unreadable start).
std::optional<DriveLayout> QueryDriveLayout(DeviceHandle& device);

}  // namespace ravlin::platform
