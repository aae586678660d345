// Timed reads: requests, their buffers and the I/O threads that serve them.
#include "platform/Device.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <thread>

#include "platform/Errors.h"
#include "platform/Memory.h"

namespace ravlin::platform {
namespace {

constexpr uint32_t kPoolBufferBytes = 1u << 20;  // one full-size request
constexpr size_t kPoolKeep = 8;
constexpr uint32_t kWorkingThreads = 2;  // reads in flight at once
constexpr uint32_t kMaxThreads = 8;      // including threads stuck in abandoned reads
constexpr auto kCloseWait = std::chrono::milliseconds(2000);

// Request buffers of the common size are recycled: fresh pages would cost a fault each.
class BufferPool {
public:
    uint8_t* Take(size_t bytes) {
        if (bytes <= kPoolBufferBytes) {
            std::lock_guard<std::mutex> guard(lock_);
            if (!free_.empty()) {
                uint8_t* p = free_.back();
                free_.pop_back();
                return p;
            }
            bytes = kPoolBufferBytes;
        }
        void* p = std::aligned_alloc(4096, (bytes + 4095) & ~size_t{4095});
        if (!p) throw std::bad_alloc();
        return static_cast<uint8_t*>(p);
    }
    void Give(uint8_t* p, size_t bytes) {
        if (bytes <= kPoolBufferBytes) {
            std::lock_guard<std::mutex> guard(lock_);
            if (free_.size() < kPoolKeep) {
                free_.push_back(p);
                return;
            }
        }
        std::free(p);
    }

private:
    std::mutex lock_;
    std::vector<uint8_t*> free_;
};

std::atomic<void (*)(ReadRequest&)> serveHook{nullptr};

BufferPool& Pool() {
    static BufferPool* pool = new BufferPool();  // outlives threads still stuck at exit
    return *pool;
}

}  // namespace

void SetServeHookForTesting(void (*hook)(ReadRequest&)) { serveHook.store(hook); }

std::shared_ptr<IoBuffer> IoBuffer::Allocate(size_t bytes) {
    if (bytes > kPoolBufferBytes) {
        // Whole blocks: huge pages, faulted in at once, so that the device's first writes into
        // a fresh buffer do not trap page by page.
        void* data = AllocateLarge(bytes, true);
        if (!data) throw std::bad_alloc();
        return std::shared_ptr<IoBuffer>(new IoBuffer(static_cast<uint8_t*>(data), bytes));
    }
    uint8_t* data = Pool().Take(bytes);
    return std::shared_ptr<IoBuffer>(new IoBuffer(data, bytes));
}

IoBuffer::~IoBuffer() {
    if (size_ > kPoolBufferBytes) {
        FreeLarge(data_, size_);
    } else {
        Pool().Give(data_, size_);
    }
}

ReadRequest::ReadRequest(uint64_t offset, uint32_t length, std::shared_ptr<IoBuffer> target,
                         size_t at)
    : offset_(offset), length_(length), target_(std::move(target)), at_(at) {}

ReadRequest::~ReadRequest() = default;

void ReadRequest::Complete(IoResult result, bool aborted) {
    std::lock_guard<std::mutex> guard(lock_);
    if (completed_) return;
    completed_ = true;
    aborted_ = aborted;
    result_ = result;
    done_.notify_all();
}


bool ReadRequest::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    return done_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                          [&] { return completed_; });
}

bool ReadRequest::Done() {
    std::lock_guard<std::mutex> guard(lock_);
    return completed_;
}

bool ReadRequest::Succeeded() {
    std::lock_guard<std::mutex> guard(lock_);
    return completed_ && !aborted_ && !cancelled_ && result_.errnoValue == 0 &&
           result_.transferred == length_;
}

uint32_t ReadRequest::Error() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!completed_) return kErrorTimeout;
    if (aborted_ || cancelled_) return kErrorOperationAborted;
    if (result_.errnoValue != 0) return ErrorFromErrno(result_.errnoValue);
    if (result_.transferred != length_) return kErrorHandleEof;
    return kErrorSuccess;
}

// State shared by a handle and its I/O threads; the threads keep it alive after the handle
// is gone.
struct IoShared : std::enable_shared_from_this<IoShared> {
    std::shared_ptr<DeviceBackend> backend;
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable exited;
    std::deque<std::shared_ptr<ReadRequest>> queue;
    bool stopping = false;
    uint32_t threads = 0;
    uint32_t idle = 0;
    uint32_t stuck = 0;  // threads inside a read that was cancelled

    void Submit(const std::shared_ptr<ReadRequest>& request) {
        std::unique_lock<std::mutex> guard(lock);
        uint32_t healthy = threads - stuck;
        if (idle == 0 && healthy < kWorkingThreads && threads < kMaxThreads) {
            try {
                std::thread(&IoShared::WorkerLoop, shared_from_this()).detach();
                ++threads;
                ++idle;  // counted as idle until it takes work
            } catch (...) {
            }
        }
        if (threads - stuck == 0) {
            guard.unlock();
            request->Complete({0, ETIMEDOUT}, false);
            return;
        }
        queue.push_back(request);
        wake.notify_one();
    }

    void WorkerLoop() {
        std::unique_lock<std::mutex> guard(lock);
        --idle;
        for (;;) {
            ++idle;
            wake.wait(guard, [&] { return stopping || !queue.empty(); });
            --idle;
            if (queue.empty()) break;
            std::shared_ptr<ReadRequest> request = std::move(queue.front());
            queue.pop_front();
            guard.unlock();
            Serve(*request);
            request.reset();
            guard.lock();
        }
        --threads;
        exited.notify_all();
    }

    void Serve(ReadRequest& request) {
        {
            std::lock_guard<std::mutex> g(request.lock_);
            if (request.completed_) return;
            request.started_ = true;
        }
        IoResult result =
            backend->ReadAt(request.target_->Data() + request.at_, request.offset_, request.length_);
        if (auto hook = serveHook.load()) hook(request);
        // Completion and the look at the cancel flag are one step under the request's lock: a
        // cancel either came before (and counted this thread stuck, which is undone here before
        // any waiter wakes) or finds the request complete and counts nothing.
        std::lock_guard<std::mutex> g(request.lock_);
        if (request.completed_) return;
        request.completed_ = true;
        request.aborted_ = request.cancelled_;
        request.result_ = result;
        if (request.cancelled_) {
            std::lock_guard<std::mutex> shared(lock);  // the order CancelRequest takes them in
            --stuck;
        }
        request.done_.notify_all();
    }

    // Called with the request's lock held.
    void CountStuck() {
        std::lock_guard<std::mutex> g(lock);
        ++stuck;
    }

    void Shutdown() {
        std::unique_lock<std::mutex> guard(lock);
        stopping = true;
        std::deque<std::shared_ptr<ReadRequest>> pending;
        pending.swap(queue);
        wake.notify_all();
        exited.wait_for(guard, kCloseWait, [&] { return threads <= stuck; });
        guard.unlock();
        for (auto& request : pending) request->Complete({0, ECANCELED}, true);
    }
};

DeviceHandle::DeviceHandle(std::shared_ptr<DeviceBackend> backend)
    : shared_(std::make_shared<IoShared>()), backend_(std::move(backend)) {
    shared_->backend = backend_;
}

DeviceHandle::~DeviceHandle() { shared_->Shutdown(); }

std::shared_ptr<ReadRequest> DeviceHandle::Submit(uint64_t offset, uint32_t length) {
    return Submit(offset, length, IoBuffer::Allocate(length), 0);
}

std::shared_ptr<ReadRequest> DeviceHandle::Submit(uint64_t offset, uint32_t length,
                                                  std::shared_ptr<IoBuffer> target, size_t at) {
    auto request = std::make_shared<ReadRequest>(offset, length, std::move(target), at);
    shared_->Submit(request);
    return request;
}

uint32_t DeviceHandle::ReadTimed(void* destination, uint64_t offset, uint32_t length,
                                 uint32_t timeoutMs, uint32_t graceMs) {
    auto request = Submit(offset, length);
    if (!request->Wait(timeoutMs)) {
        CancelRequest(*request);
        if (!request->Wait(graceMs)) return kErrorTimeout;
        return kErrorOperationAborted;
    }
    if (!request->Succeeded()) return request->Error();
    std::memcpy(destination, request->Data(), length);
    return kErrorSuccess;
}

void DeviceHandle::CancelRequest(ReadRequest& request) {
    std::lock_guard<std::mutex> guard(request.lock_);
    if (request.completed_ || request.cancelled_) return;
    request.cancelled_ = true;
    if (request.started_) {
        shared_->CountStuck();
        return;
    }
    // Still queued: it completes now and its thread skips it.
    request.completed_ = true;
    request.aborted_ = true;
    request.result_ = {0, ECANCELED};
    request.done_.notify_all();
}

std::optional<uint64_t> DeviceHandle::SizeBytes() { return backend_->SizeBytes(); }

std::optional<std::vector<DiskExtent>> DeviceHandle::VolumeExtents() {
    return backend_->VolumeExtents();
}

std::wstring DeviceHandle::Describe() const { return backend_->Describe(); }

uint32_t DeviceHandle::StuckThreads() const {
    std::lock_guard<std::mutex> guard(shared_->lock);
    return shared_->stuck;
}

}  // namespace ravlin::platform
