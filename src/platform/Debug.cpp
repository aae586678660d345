// The debug sink.
#include "platform/Debug.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/Text.h"

namespace ravlin::platform {
namespace {

std::mutex sinkLock;
DebugSink sinkFunction = nullptr;
void* sinkContext = nullptr;

void Deliver(const char* line) {
    DebugSink sink;
    void* context;
    {
        std::lock_guard<std::mutex> guard(sinkLock);
        sink = sinkFunction;
        context = sinkContext;
    }
    if (sink) sink(line, context);
}

}  // namespace

void SetDebugSink(DebugSink sink, void* context) {
    std::lock_guard<std::mutex> guard(sinkLock);
    sinkFunction = sink;
    sinkContext = context;
}

bool HasDebugSink() {
    std::lock_guard<std::mutex> guard(sinkLock);
    return sinkFunction != nullptr;
}

void DebugPrintf(const char* format, ...) {
    if (!HasDebugSink()) return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length >= 0) {
        std::vector<char> text(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        Deliver(text.data());
    }
    va_end(args);
}

void DebugPrint(const std::wstring& text) {
    if (!HasDebugSink()) return;
    Deliver(WideToUtf8(text).c_str());
}

}  // namespace ravlin::platform
