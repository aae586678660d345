// Windows-style device names on this system: "\\.\PhysicalDriveN" and "\\.\X:".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Device.h"

namespace ravlin::platform {

struct RegisteredDevice {
    std::wstring name;    // as registered
    std::wstring target;  // file or block device ("" for a test factory)
    int diskNumber = -1;  // volumes: the physical drive holding them, or -1
    uint64_t byteOffset = 0;
    BackendFactory factory;  // test backends
};

// "\\.\" followed by anything.
bool IsDeviceNamespacePath(const std::wstring& path);

bool RegisterDevice(const std::wstring& name, const std::wstring& target, int diskNumber,
                    uint64_t byteOffset);
// Registers a backend made by `factory` (fault injection in tests).
bool RegisterDeviceFactory(const std::wstring& name, BackendFactory factory, int diskNumber = -1,
                           uint64_t byteOffset = 0);
void UnregisterDevice(const std::wstring& name);
std::vector<RegisteredDevice> RegisteredDevices();
std::optional<RegisteredDevice> FindRegistered(const std::wstring& name);

// Whole disks of this machine in a stable order: the names under /sys/block sorted naturally
// ("sda" < "sdb" < "sdaa", "nvme0n1" < "nvme1n1"), leaving out ram, zram, loop devices without
// a backing file and disks reporting no media (size 0). "\\.\PhysicalDriveN" is entry N.
std::vector<std::string> PhysicalDiskPaths();

// Bit i set: the volume "\\.\" + ('A' + i) + ":" is registered.
uint32_t LogicalDriveMask();

// The physical-drive number a path stands for: the number of a "\\.\PhysicalDriveN" name, or
// the position of a file or block device among the registered and enumerated physical drives.
std::optional<uint32_t> PhysicalDriveNumberOf(const std::wstring& path);

}  // namespace ravlin::platform
