// Debug output: lines go to a sink that the host may install; by default they are dropped.
#pragma once

#include <string>

namespace ravlin::platform {

using DebugSink = void (*)(const char* line, void* context);

void SetDebugSink(DebugSink sink, void* context);
bool HasDebugSink();
// printf-style; the text is UTF-8.
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugPrint(const std::wstring& text);

}  // namespace ravlin::platform
