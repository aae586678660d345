// Helpers around RFileNode: time conversion, derived copies, the recycle-bin display name.
#pragma once

#include <cstdint>
#include <string>

#include "ravlin/Ravlin.h"

namespace ravlin {

// FILETIME (100 ns since 1601) to seconds since 1970; 0 for zero or pre-1970 times.
uint32_t FileTimeToUnix(uint64_t fileTime);

// A copy presenting `source` again under a new id and parent: directories become kind 4,
// files kind 2; the name is `newName` when not empty; the type follows a new file name.
// Children and resident bytes are not copied; the extension object is shared.
RFileNode DeriveNodeCopy(const RFileNode& source, uint32_t newId, uint32_t newParentId,
                         const std::wstring& newName);

// A field-for-field copy (nodes are move-only), for handing a node's state out of its lock.
RFileNode CopyOfNode(const RFileNode& source);

// A directory node: the volume roots and the scanners' synthetic folders.
RFileNode FolderNode(uint32_t id, uint32_t parent, NodeKind kind, const std::wstring& name);

// The recycle-bin name of a node, or null when it has none.
const RFileNodeRecycleName* RecycleNameOf(const RFileNode& node);

// The name a node is shown under: its recycle-bin name when it has one.
const std::wstring& DisplayNameOf(const RFileNode& node);

// Copies the Windows attribute bits 0x1..0x4000 into the node's flags (0x8 only when
// `withVolumeLabel`; the directory and view-index flags are left alone).
void SetAttributeFlags(RFileNode& node, uint32_t attributes, bool withVolumeLabel);

}  // namespace ravlin
