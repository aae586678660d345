// Windows-style device names resolved through the device table.
#include <gtest/gtest.h>

#include "platform/DeviceTable.h"
#include "platform/Errors.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

using namespace ravlin;
using namespace ravlin::platform;

TEST(DeviceTable, RegisteredVolumesResolveCaseInsensitivelyAndCarryTheirExtent) {
    test::TempDir temp;
    auto image = temp / "vol.img";
    test::WriteNumberedImage(image, 16);
    ASSERT_TRUE(RegisterDevice(L"\\\\.\\E:", image.wstring(), 7, 1048576));
    EXPECT_NE(LogicalDriveMask() & (1u << 4), 0u);
    uint32_t error = 0;
    auto handle = OpenDevice(L"\\\\.\\e:", error);
    ASSERT_TRUE(handle) << error;
    auto extents = handle->VolumeExtents();
    ASSERT_TRUE(extents);
    ASSERT_EQ(extents->size(), 1u);
    EXPECT_EQ((*extents)[0].diskNumber, 7u);
    EXPECT_EQ((*extents)[0].startingOffset, 1048576u);
    EXPECT_EQ((*extents)[0].length, 16u * 512);
    UnregisterDevice(L"\\\\.\\E:");
    EXPECT_EQ(LogicalDriveMask() & (1u << 4), 0u);
    EXPECT_FALSE(OpenDevice(L"\\\\.\\E:", error));
    EXPECT_EQ(error, kErrorFileNotFound);
}

TEST(DeviceTable, PhysicalDriveNamesMapToRegisteredTargets) {
    test::TempDir temp;
    auto image = temp / "disk.img";
    test::WriteNumberedImage(image, 8);
    ASSERT_TRUE(RegisterDevice(L"\\\\.\\PhysicalDrive42", image.wstring(), -1, 0));
    uint32_t error = 0;
    auto handle = OpenDevice(L"\\\\.\\physicaldrive42", error);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->SizeBytes().value_or(0), 8u * 512);
    EXPECT_EQ(PhysicalDriveNumberOf(image.wstring()).value_or(0), 42u);
    EXPECT_EQ(PhysicalDriveNumberOf(L"\\\\.\\PhysicalDrive3").value_or(0), 3u);
    EXPECT_FALSE(PhysicalDriveNumberOf(L"\\\\.\\PhysicalDrive3x"));
    UnregisterDevice(L"\\\\.\\PHYSICALDRIVE42");
    EXPECT_FALSE(FindRegistered(L"\\\\.\\PhysicalDrive42"));
}

TEST(DeviceTable, RegistrationNeedsANameAndATarget) {
    EXPECT_FALSE(RegisterDevice(L"", L"/tmp/x", -1, 0));
    EXPECT_FALSE(RegisterDevice(L"\\\\.\\F:", L"", -1, 0));
}

TEST(DeviceTable, MachineDisksAreListedInAStableOrder) {
    auto first = PhysicalDiskPaths();
    auto second = PhysicalDiskPaths();
    EXPECT_EQ(first, second);
    for (const auto& path : first) EXPECT_EQ(path.rfind("/dev/", 0), 0u) << path;
}
