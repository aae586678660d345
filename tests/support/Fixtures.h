// Fixture images: committed compressed beside their manifests, decompressed once into the
// build tree and shared by every test process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ravlin::test {

// Path of the decompressed image `name` (e.g. "ntfs.img"), made from `name`.gz under
// tests/fixtures. Fails the calling test when the fixture is missing.
std::filesystem::path FixtureImage(const std::string& name);
bool FixtureExists(const std::string& name);

// Writes a file of `sectors` sectors in which every 512-byte sector starts with its own sector
// number (u64) and is filled with its low byte. Handy for checking where bytes came from.
void WriteNumberedImage(const std::filesystem::path& path, uint64_t sectors);
// What WriteNumberedImage put into `sector`.
std::vector<uint8_t> NumberedSector(uint64_t sector);

std::string Md5Hex(const void* data, size_t length);
std::string Md5OfFile(const std::filesystem::path& path);

}  // namespace ravlin::test
