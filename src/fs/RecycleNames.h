// Recycle-bin entries back under the names and folders they had before deletion.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ravlin {

class DiskReader;
class PartInfo;

inline constexpr const wchar_t* kRecycleBinName = L"$RECYCLE.BIN";
inline constexpr const wchar_t* kRecycleBinDisplayName = L"\u56DE\u6536\u7AD9";  // 回收站
inline constexpr const wchar_t* kLostPathFolderName = L"\u8DEF\u5F84\u4E22\u5931\u7684\u6587\u4EF6";  // 路径丢失的文件

// "$RECYCLE.BIN", compared case-insensitively.
bool IsRecycleBinName(const std::wstring& name);

// Sets a node's valid flag, keeping liveNodeCount and fileCount right. False for no node.
// The caller holds the partition's node lock exclusively.
bool SetNodeValid(PartInfo& part, uint32_t id, bool valid);

// The live child of `parentId` named exactly `name`, or a new deleted folder of that name.
// The caller holds the node lock exclusively. 0 when the id space is exhausted.
uint32_t FindOrCreateFolder(PartInfo& part, uint32_t parentId, const std::wstring& name);

// The former path an info item holds (versions 1 and 2), or empty.
std::wstring FormerPathFromInfo(std::span<const uint8_t> info);

// The pass run by every scanner before its start index: marks the recycle bin's content
// deleted and moves its items back where they came from.
void RecoverRecycleNames(PartInfo& part, DiskReader* reader);

}  // namespace ravlin
