// The view interface over the current scan.
#include "results/ScanPreViewBridge.h"

#include "engine/ScanEngineImpl.h"

namespace ravlin {

ScanPreViewBridge::~ScanPreViewBridge() = default;

unsigned long long ScanPreViewBridge::GetPartCount() const { return 0; }
bool ScanPreViewBridge::GetPartBrief(unsigned long long, PartBrief*) const { return false; }
bool ScanPreViewBridge::GetNodeBrief(unsigned long long, unsigned int, NodeBrief*) const {
    return false;
}
unsigned long long ScanPreViewBridge::GetVisibleChildCount(unsigned long long,
                                                           unsigned int) const {
    return 0;
}
unsigned int ScanPreViewBridge::GetVisibleChild(unsigned long long, unsigned int,
                                                unsigned long long) const {
    return 0;
}
unsigned long long ScanPreViewBridge::GetVisibleDirCount(unsigned long long,
                                                         unsigned int) const {
    return 0;
}
unsigned long long ScanPreViewBridge::GetChildCount(unsigned long long, unsigned int) const {
    return 0;
}
unsigned int ScanPreViewBridge::GetChild(unsigned long long, unsigned int,
                                         unsigned long long) const {
    return 0;
}
unsigned int ScanPreViewBridge::GetVisibleDir(unsigned long long, unsigned int,
                                              unsigned long long) const {
    return 0;
}
void ScanPreViewBridge::SetNodeChecked(unsigned long long, unsigned int, bool) {}
void ScanPreViewBridge::SetNodesChecked(const unsigned long long*, const unsigned int*, int,
                                        bool) {}
const wchar_t* ScanPreViewBridge::CurrentPath() const {
    pathText_.clear();
    return pathText_.c_str();
}
unsigned long long ScanPreViewBridge::GetCheckedBytes() const { return 0; }
bool ScanPreViewBridge::GetNodeStatus(unsigned long long, unsigned int,
                                      NodeStatusBrief* out) const {
    if (out) *out = NodeStatusBrief();
    return false;
}
bool ScanPreViewBridge::OpenReader(unsigned long long) { return false; }
bool ScanPreViewBridge::ReadNodeData(unsigned long long, unsigned int, void*, unsigned long long,
                                     unsigned int) {
    return false;
}
void ScanPreViewBridge::CloseReader(unsigned long long) {}

}  // namespace ravlin
