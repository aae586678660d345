// The disk reader over real files, a real loop device and a fault-injecting device.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "disk/DiskReader.h"
#include "platform/DeviceTable.h"
#include "platform/Errors.h"
#include "platform/FaultInjection.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

using namespace ravlin;
using namespace ravlin::platform;

namespace {

constexpr uint64_t kImageSectors = 12000;

// A numbered image behind a fault-injecting backend registered as a physical drive.
class FaultyDisk : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = temp_ / "disk.img";
        test::WriteNumberedImage(image_, kImageSectors);
        int err = 0;
        auto file = OpenFileBackend(image_.string(), err);
        ASSERT_TRUE(file) << err;
        backend_ = std::make_shared<FaultInjectingBackend>(file);
        auto backend = backend_;
        RegisterDeviceFactory(kName, [backend] { return backend; });
    }
    void TearDown() override { UnregisterDevice(kName); }

    bool OpenReader(DiskReader& reader, uint64_t totalSectors = 0) {
        DiskSourceInfo src;
        src.devicePath = kName;
        src.totalSectors = totalSectors;
        return reader.Open(src, 0, kImageSectors);
    }

    // Short enough to give up on a held request quickly, long enough for a loaded machine.
    static ReadTimeouts Fast() { return {500, 500, 100}; }

    static constexpr const wchar_t* kName = L"\\\\.\\PhysicalDrive57";
    test::TempDir temp_;
    std::filesystem::path image_;
    std::shared_ptr<FaultInjectingBackend> backend_;
};

bool SectorIs(const uint8_t* data, uint64_t sector) {
    return std::memcmp(data, test::NumberedSector(sector).data(), 512) == 0;
}

bool AllZero(const uint8_t* data, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        if (data[i]) return false;
    return true;
}

}  // namespace

TEST_F(FaultyDisk, ZeroCountOrNullBufferTouchesNothing) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader));
    std::vector<uint8_t> buffer(512, 0xAA);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 5, 0), 0u);
    EXPECT_EQ(reader.ReadSectors(nullptr, 5, 1), 0u);
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_EQ(reader.ReadCalls(), 0u);
    EXPECT_TRUE(backend_->Reads().empty());
}

// The scan's host hears of every failed read, with the sectors it asked for.
TEST_F(FaultyDisk, EveryFailedReadReachesTheFailureHook) {
    DiskReader reader;
    std::vector<std::pair<uint64_t, uint32_t>> failed;
    reader.SetFailureHook([&](uint64_t sector, uint32_t count) { failed.push_back({sector, count}); });
    ASSERT_TRUE(OpenReader(reader));
    backend_->FailSectors(100, 4);
    std::vector<uint8_t> buffer(16 * 512);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 96, 16), 0u);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 0, 16), 1u);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 102, 1), 0u);
    EXPECT_EQ(failed, (std::vector<std::pair<uint64_t, uint32_t>>{{96, 16}, {102, 1}}));
}

TEST_F(FaultyDisk, SparseSectorReadsZerosEvenWhenClosed) {
    DiskReader reader;
    std::vector<uint8_t> buffer(1024, 0xAA);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), ~uint64_t{0}, 2), 1u);
    EXPECT_TRUE(AllZero(buffer.data(), buffer.size()));
    EXPECT_EQ(reader.ReadCalls(), 0u);
}

TEST_F(FaultyDisk, ReadsAreClippedAtTheLastSectorAndRefusedPastIt) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader));
    EXPECT_EQ(reader.LastSector(), kImageSectors - 1);
    std::vector<uint8_t> buffer(8 * 512, 0xAA);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), kImageSectors - 1, 8), 1u);
    EXPECT_TRUE(SectorIs(buffer.data(), kImageSectors - 1));
    EXPECT_TRUE(AllZero(buffer.data() + 512, 7 * 512));
    EXPECT_EQ(reader.ReadCalls(), 1u);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), kImageSectors, 1), 0u);
    EXPECT_EQ(reader.ReadCalls(), 1u);
    EXPECT_EQ(reader.FailedReads(), 0u);
}

TEST_F(FaultyDisk, LargeReadsAreSplitIntoChunksInOrder) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader));
    std::vector<uint8_t> buffer(5000 * 512);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 100, 5000), 1u);
    auto reads = backend_->Reads();
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0], std::make_pair(uint64_t{100} * 512, 2048u * 512));
    EXPECT_EQ(reads[1], std::make_pair(uint64_t{2148} * 512, 2048u * 512));
    EXPECT_EQ(reads[2], std::make_pair(uint64_t{4196} * 512, 904u * 512));
    for (uint64_t s = 0; s < 5000; s += 499) EXPECT_TRUE(SectorIs(&buffer[s * 512], 100 + s));
    EXPECT_EQ(reader.ReadCalls(), 1u);
}

TEST_F(FaultyDisk, SmallDevicesOpenedWithLimitChunkUse128KiBRequests) {
    DiskReader reader;
    DiskSourceInfo src;
    src.devicePath = kName;
    src.limitChunk = 1;
    ASSERT_TRUE(reader.Open(src, 0, kImageSectors));
    EXPECT_EQ(reader.ChunkSectors(), 256u);
    std::vector<uint8_t> buffer(600 * 512);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 0, 600), 1u);
    EXPECT_EQ(backend_->Reads().size(), 3u);
}

TEST_F(FaultyDisk, APartialFailureLeavesZerosWhereNothingWasRead) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader));
    backend_->FailSectors(3000, 1);  // inside the second chunk
    std::vector<uint8_t> buffer(5000 * 512, 0xAA);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 0, 5000), 0u);
    EXPECT_TRUE(SectorIs(&buffer[0], 0));
    EXPECT_TRUE(SectorIs(&buffer[2047 * 512], 2047));
    EXPECT_TRUE(AllZero(&buffer[2048 * 512], (5000 - 2048) * 512));
    EXPECT_EQ(reader.FailedReads(), 1u);
    EXPECT_EQ(reader.ReadCalls(), 1u);
    EXPECT_EQ(reader.LastError(), kErrorIoDevice);
    EXPECT_FALSE(reader.IsDeviceLost());
    // A plain failure does not stop later reads.
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 0, 8), 1u);
}

TEST_F(FaultyDisk, ALostDeviceFailsFastUntilReopened) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader));
    std::vector<uint8_t> buffer(512);
    backend_->Vanish(ENODEV);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 0, 1), 0u);
    EXPECT_EQ(reader.LastError(), kErrorNoSuchDevice);
    EXPECT_TRUE(reader.IsDeviceLost());
    backend_->Reappear();
    backend_->ClearReads();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(reader.ReadSectors(buffer.data(), 0, 1), 0u);
    EXPECT_TRUE(backend_->Reads().empty());  // failed without touching the device
    ASSERT_TRUE(reader.Reopen());
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 7, 1), 1u);
    EXPECT_TRUE(SectorIs(buffer.data(), 7));
}

TEST_F(FaultyDisk, TheThreeLostDeviceCodesAreRecognised) {
    struct Case {
        int errnoValue;
        uint32_t code;
    } cases[] = {{ENOENT, 2}, {ESTALE, 1006}, {ENODEV, 433}, {ENXIO, 433}};
    for (const auto& c : cases) {
        DiskReader reader;
        ASSERT_TRUE(OpenReader(reader));
        std::vector<uint8_t> buffer(512);
        backend_->Vanish(c.errnoValue);
        EXPECT_EQ(reader.ReadSectors(buffer.data(), 0, 1), 0u);
        EXPECT_EQ(reader.LastError(), c.code);
        EXPECT_TRUE(reader.IsDeviceLost());
        backend_->Reappear();
    }
}

TEST_F(FaultyDisk, ADescriptorLargerThanTheDeviceIsClippedByItsSize) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader, kImageSectors * 4));
    EXPECT_EQ(reader.LastSector(), kImageSectors - 1);
    EXPECT_EQ(reader.TotalBytes(), kImageSectors * 512);
    // Without a size answer the descriptor decides.
    backend_->Vanish();
    DiskReader blind;
    ASSERT_TRUE(OpenReader(blind, kImageSectors * 4));
    EXPECT_EQ(blind.LastSector(), kImageSectors * 4 - 1);
    EXPECT_EQ(blind.TotalBytes(), kImageSectors * 4 * 512);
}

TEST_F(FaultyDisk, ATimedOutReadNeverWritesTheCallersBufferAfterReturning) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader));
    reader.SetTimeouts(Fast());
    backend_->HoldSectors(40, 1, 5000);
    auto* buffer = new uint8_t[4096];
    EXPECT_EQ(reader.ReadSectors(buffer, 40, 8), 0u);
    EXPECT_TRUE(reader.HadError());
    EXPECT_EQ(reader.FailedReads(), 1u);
    // The caller frees its buffer at once; the device then completes the read. Any late write
    // into the freed buffer is a heap-use-after-free under AddressSanitizer.
    delete[] buffer;
    std::vector<uint8_t> mine(4096, 0x5A);
    backend_->ReleaseHeld();
    while (backend_->HeldNow() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto handle = reader.Handle();
    while (handle->StuckThreads() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(mine[0], 0x5A);
}

TEST_F(FaultyDisk, AStuckRequestDoesNotStallLaterReads) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader));
    reader.SetTimeouts(Fast());
    backend_->HoldSectors(0, 1, 60000);
    std::vector<uint8_t> buffer(4096);
    // Each hangs past its limit; the threads stuck in them are replaced.
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 0, 1), 0u);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 0, 1), 0u);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 0, 1), 0u);
    // A read queued behind the stuck ones would wait for the held sector (a minute); with a
    // limit of seconds it only succeeds when it runs on a fresh thread.
    reader.SetTimeouts({5000, 5000, 100});
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 100, 8), 1u);
    EXPECT_TRUE(SectorIs(buffer.data(), 100));
    EXPECT_EQ(reader.Handle()->StuckThreads(), 3u);
    backend_->ReleaseHeld();
}

TEST_F(FaultyDisk, ReadBytesServesUnalignedRanges) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader));
    uint8_t bytes[10];
    ASSERT_TRUE(reader.ReadBytes(bytes, 3 * 512 + 1, 10));
    auto sector = test::NumberedSector(3);
    EXPECT_EQ(std::memcmp(bytes, sector.data() + 1, 7), 0);
}

TEST(DiskReader, OpenFailsForMissingSourcesAndUnknownNames) {
    DiskReader reader;
    EXPECT_FALSE(reader.OpenPath(L"/nonexistent/image.img"));
    EXPECT_EQ(reader.OpenError(), kErrorFileNotFound);
    EXPECT_TRUE(reader.IsClosed());
    EXPECT_FALSE(reader.OpenPath(L"\\\\.\\Q:"));
    EXPECT_FALSE(reader.OpenPath(L"\\\\.\\PhysicalDrive999"));
    EXPECT_FALSE(reader.Reopen());
}

namespace {
// Access mode of every descriptor this process holds on `path`.
std::vector<int> OpenFlagsOf(const std::filesystem::path& path) {
    std::vector<int> flags;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* e = readdir(dir)) {
        char link[4096];
        std::string fd = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(fd.c_str(), link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = 0;
        if (std::filesystem::path(link) != std::filesystem::canonical(path)) continue;
        std::ifstream info(std::string("/proc/self/fdinfo/") + e->d_name);
        std::string key;
        while (info >> key) {
            if (key == "flags:") {
                std::string octal;
                info >> octal;
                flags.push_back(static_cast<int>(std::stol(octal, nullptr, 8)));
            }
        }
    }
    closedir(dir);
    return flags;
}
}  // namespace

TEST(DiskReader, TheSourceIsOpenedReadOnlyAndUnbufferedWherePossible) {
    test::TempDir temp;
    auto image = temp / "ro.img";
    test::WriteNumberedImage(image, 64);
    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(image.wstring()));
    auto flags = OpenFlagsOf(image);
    ASSERT_FALSE(flags.empty());
    bool direct = false;
    for (int f : flags) {
        EXPECT_EQ(f & O_ACCMODE, O_RDONLY);
        direct |= (f & O_DIRECT) != 0;
    }
    EXPECT_TRUE(direct) << "no O_DIRECT descriptor on " << image;
    std::vector<uint8_t> buffer(512);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 63, 1), 1u);
    EXPECT_TRUE(SectorIs(buffer.data(), 63));
}

TEST(DiskReader, FileSystemsWithoutDirectIoStillRead) {
    if (!std::filesystem::exists("/dev/shm")) GTEST_SKIP() << "no tmpfs at /dev/shm";
    std::filesystem::path image = "/dev/shm/ravlin-direct-test-" + std::to_string(getpid());
    test::WriteNumberedImage(image, 32);
    {
        DiskReader reader;
        ASSERT_TRUE(reader.OpenPath(image.wstring()));
        std::vector<uint8_t> buffer(512 * 3);
        EXPECT_EQ(reader.ReadSectors(buffer.data(), 29, 3), 1u);
        EXPECT_TRUE(SectorIs(buffer.data() + 1024, 31));
    }
    std::filesystem::remove(image);
}

// Pages of the file in the page cache, counted without reading it.
size_t CachedPages(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    off_t size = ::lseek(fd, 0, SEEK_END);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    std::vector<unsigned char> resident((size + 4095) / 4096);
    size_t cached = 0;
    if (map != MAP_FAILED && ::mincore(map, size, resident.data()) == 0)
        for (unsigned char r : resident) cached += r & 1;
    if (map != MAP_FAILED) ::munmap(map, size);
    ::close(fd);
    return cached;
}

// Whatever of the image the page cache holds (nothing, a stretch in the middle, all of it),
// every range reads back the same; and reads of what it does not hold leave it out.
TEST(DiskReader, ReadsAgreeWhateverThePageCacheHolds) {
    test::TempDir temp;
    auto image = temp / "cached.img";
    constexpr uint64_t kSectors = 6000;  // not a whole number of pages at the end
    test::WriteNumberedImage(image, kSectors);
    int fd = ::open(image.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ::fsync(fd);
    auto evict = [&](off_t from, off_t length) { ::posix_fadvise(fd, from, length, POSIX_FADV_DONTNEED); };
    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(image.wstring()));
    std::vector<uint8_t> buffer(512 * 2048);
    auto readsBack = [&](uint64_t first, uint32_t count) {
        std::fill(buffer.begin(), buffer.end(), 0xEE);
        if (reader.ReadSectors(buffer.data(), first, count) != 1) return false;
        for (uint32_t i = 0; i < count; ++i)
            if (!SectorIs(buffer.data() + size_t{i} * 512, first + i)) return false;
        return true;
    };
    const std::pair<uint64_t, uint32_t> ranges[] = {{0, 2048}, {1, 7}, {2047, 1000}, {3000, 8}, {5990, 10}, {5999, 1}};

    evict(0, 0);
    if (CachedPages(image) != 0) GTEST_SKIP() << "the page cache keeps the file";
    for (auto [first, count] : ranges) EXPECT_TRUE(readsBack(first, count)) << first << "+" << count;
    EXPECT_EQ(CachedPages(image), 0u) << "reads past the cache filled it";

    // The middle third cached, the rest not.
    std::vector<char> sink(1000 * 512);
    EXPECT_EQ(::pread(fd, sink.data(), sink.size(), 2000 * 512), static_cast<ssize_t>(sink.size()));
    evict(0, 2000 * 512);
    evict(3000 * 512, 0);
    for (auto [first, count] : ranges) EXPECT_TRUE(readsBack(first, count)) << first << "+" << count;

    std::ifstream(image, std::ios::binary).ignore(kSectors * 512);
    EXPECT_GT(CachedPages(image), 0u);
    for (auto [first, count] : ranges) EXPECT_TRUE(readsBack(first, count)) << first << "+" << count;
    ::close(fd);
}

// An image cut short while it is read (as a detached or shrunk loop device is) has gone: its
// reader reports a lost device rather than serving zeros.
TEST(DiskReader, ASourceThatShrinksUnderTheReaderIsLost) {
    test::TempDir temp;
    auto image = temp / "shrinking.img";
    test::WriteNumberedImage(image, 64);
    DiskReader reader;
    ASSERT_TRUE(reader.OpenPath(image.wstring()));
    std::vector<uint8_t> buffer(512 * 4);
    ASSERT_EQ(reader.ReadSectors(buffer.data(), 40, 4), 1u);
    EXPECT_FALSE(reader.IsDeviceLost());
    std::filesystem::resize_file(image, 32 * 512);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 40, 4), 0u);
    EXPECT_TRUE(reader.IsDeviceLost());
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 0, 1), 0u);  // lost for good
}

TEST(DiskReader, ReadsARealLoopDeviceThroughDirectIo) {
    if (geteuid() != 0 || access("/dev/loop-control", F_OK) != 0)
        GTEST_SKIP() << "needs root and loop devices";
    test::TempDir temp;
    auto image = temp / "loop.img";
    test::WriteNumberedImage(image, 2048 + 7);
    std::string command = "losetup -f --show " + image.string() + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    char device[256] = {};
    bool attached = pipe && fgets(device, sizeof device, pipe);
    if (pipe) pclose(pipe);
    if (!attached) GTEST_SKIP() << "losetup unavailable";
    std::string path(device);
    path.erase(path.find_last_not_of("\n") + 1);
    {
        DiskReader reader;
        ASSERT_TRUE(reader.OpenPath(std::wstring(path.begin(), path.end())));
        EXPECT_EQ(reader.TotalBytes(), (2048u + 7) * 512);  // from the block-device ioctl
        EXPECT_EQ(reader.LastSector(), 2048u + 6);
        std::vector<uint8_t> buffer(512 * 2048);
        EXPECT_EQ(reader.ReadSectors(buffer.data(), 7, 2048), 1u);
        EXPECT_TRUE(SectorIs(buffer.data(), 7));
        EXPECT_TRUE(SectorIs(buffer.data() + 2047 * 512, 2054));
        bool direct = false;
        for (int f : OpenFlagsOf(path)) direct |= (f & O_DIRECT) != 0;
        EXPECT_TRUE(direct);
    }
    std::system(("losetup -d " + path).c_str());
}

TEST_F(FaultyDisk, ReadsIntoASharedBufferWithoutCopying) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader));
    auto target = IoBuffer::Allocate(5000 * 512);
    const IoBuffer* original = target.get();
    EXPECT_EQ(reader.ReadSectorsInto(target, 10, 5000), 1u);
    EXPECT_EQ(target.get(), original);
    for (uint64_t s = 0; s < 5000; s += 333) EXPECT_TRUE(SectorIs(target->Data() + s * 512, 10 + s));
    // Clipped at the end: the part past the device reads as zeros.
    EXPECT_EQ(reader.ReadSectorsInto(target, kImageSectors - 2, 4), 1u);
    EXPECT_TRUE(SectorIs(target->Data() + 512, kImageSectors - 1));
    EXPECT_TRUE(AllZero(target->Data() + 1024, 1024));
}

TEST_F(FaultyDisk, AGivenUpReadReplacesTheSharedBufferInsteadOfWritingItLater) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader));
    reader.SetTimeouts(Fast());
    backend_->HoldSectors(2048, 1, 5000);  // the second chunk hangs
    auto target = IoBuffer::Allocate(4096 * 512);
    std::memset(target->Data(), 0xAA, 4096 * 512);
    auto old = target;
    EXPECT_EQ(reader.ReadSectorsInto(target, 0, 4096), 0u);
    ASSERT_NE(target.get(), old.get());
    EXPECT_TRUE(SectorIs(target->Data(), 0));  // what was read is kept
    EXPECT_TRUE(SectorIs(target->Data() + 2047 * 512, 2047));
    EXPECT_TRUE(AllZero(target->Data() + 2048 * 512, 2048 * 512));
    std::vector<uint8_t> snapshot(target->Data(), target->Data() + 4096 * 512);
    backend_->ReleaseHeld();
    auto handle = reader.Handle();
    while (handle->StuckThreads() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The late read landed in the old buffer, not in the one handed back.
    EXPECT_TRUE(SectorIs(old->Data() + 2048 * 512, 2048));
    EXPECT_EQ(std::memcmp(snapshot.data(), target->Data(), snapshot.size()), 0);
}

namespace {
DeviceHandle* cancellingHandle = nullptr;
void CancelJustBeforeCompletion(ReadRequest& request) {
    if (cancellingHandle) cancellingHandle->CancelRequest(request);
}
}  // namespace

// A cancel that lands after the device returned but before the request completed must not
// leave its thread counted as stuck: enough such leaks and every read fails at once.
TEST_F(FaultyDisk, ACancelRacingTheCompletionLeavesNoThreadCountedStuck) {
    DiskReader reader;
    ASSERT_TRUE(OpenReader(reader));
    auto handle = reader.Handle();
    cancellingHandle = handle.get();
    SetServeHookForTesting(&CancelJustBeforeCompletion);
    for (uint64_t i = 0; i < 12; ++i) {
        auto request = handle->Submit(i * 512, 512);
        ASSERT_TRUE(request->Wait(5000));
        EXPECT_FALSE(request->Succeeded());  // given up on: its data does not count
    }
    SetServeHookForTesting(nullptr);
    cancellingHandle = nullptr;
    EXPECT_EQ(handle->StuckThreads(), 0u);
    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(reader.ReadSectors(buffer.data(), 100, 8), 1u);
    EXPECT_TRUE(SectorIs(buffer.data(), 100));
}
