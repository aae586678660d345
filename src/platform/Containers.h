// Evidence and virtual-disk containers read as sources: the media they hold, read through the
// library of their format. A file is taken as a container by its content, never by its name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Device.h"

namespace ravlin::platform {

// Ewf2: the EWF version 2 format (Ex01), which Debian's libewf does not read; never supported.
enum class ContainerKind { Raw, Ewf, Ewf2, Vhd, Vmdk };

// What the first bytes of an opened file say it is.
ContainerKind ContainerOf(int fd);
// Whether this build reads the kind ("Raw" always).
bool ContainerSupported(ContainerKind kind);
// "EWF (E01)", "EWF2 (Ex01)", "VHD/VHDX", "VMDK"; "raw" for a plain image.
const char* ContainerName(ContainerKind kind);

// The media of the EWF image whose first segment is `path`; the other segments are found from
// its name (E02, E03, ... beside it). Null with `errnoValue` set when a segment is missing or
// damaged, or this build has no EWF support (ENOTSUP).
std::shared_ptr<DeviceBackend> OpenEwfBackend(const std::string& path, int& errnoValue);

// The media of a fixed, dynamic or differencing VHD, or a VHDX. A differencing image's parent
// is looked for beside it under the file name it records (a folder there is not followed) and
// must carry the identifier the image records; so must the parent's parent, up to 16 deep.
// Refused: a parent missing (ENOENT), another image in its place (EINVAL), a chain that loops
// or runs deeper (ELOOP), damage (EIO). `problem`, when given, says which in a few words.
std::shared_ptr<DeviceBackend> OpenVhdBackend(const std::string& path, int& errnoValue,
                                              std::string* problem = nullptr);

// The media of a VMDK: a sparse image, or a descriptor with its extents. Extents must be
// plain file names beside the descriptor: one that names another folder is refused (EACCES),
// so a descriptor cannot make the scan read an unrelated file.
std::shared_ptr<DeviceBackend> OpenVmdkBackend(const std::string& path, int& errnoValue);

// What an EWF image records of its acquisition: case and evidence numbers, examiner,
// description, notes, acquisition date and the stored MD5, as (name, value) pairs of those
// present. Empty when the image cannot be opened or this build has no EWF support.
std::vector<std::pair<std::string, std::string>> ReadEwfMetadata(const std::string& path);

// Opens the container `kind` at `path` (Raw gives null with EINVAL). `problem`, when given,
// may say why it was refused.
std::shared_ptr<DeviceBackend> OpenContainerBackend(ContainerKind kind, const std::string& path, int& errnoValue,
                                                    std::string* problem = nullptr);

}  // namespace ravlin::platform
