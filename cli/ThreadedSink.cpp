#include "ThreadedSink.h"

namespace ravlin::cli {
namespace {

constexpr size_t kBatchNodes = 256;
constexpr size_t kQueuedBatches = 8;  // bounds the memory the walk may run ahead by

}  // namespace

ThreadedSink::ThreadedSink(ResultSink& next) : next_(next), worker_(&ThreadedSink::Run, this) {}

ThreadedSink::~ThreadedSink() { Finish(); }

void ThreadedSink::Part(const PartResult& part) {
    Send();
    part_ = std::make_shared<const PartResult>(part);
    filling_.part = part_;
    filling_.begins = true;
}

void ThreadedSink::Node(const PartResult&, NodeResult&& node) {
    filling_.part = part_;
    filling_.nodes.push_back(std::move(node));
    if (filling_.nodes.size() >= kBatchNodes) Send();
}

void ThreadedSink::EndPart(const PartResult&) {
    filling_.part = part_;
    filling_.ends = true;
    Send();
}

void ThreadedSink::Send() {
    if (!filling_.part || (!filling_.begins && !filling_.ends && filling_.nodes.empty())) return;
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return queue_.size() < kQueuedBatches; });
    queue_.push_back(std::move(filling_));
    filling_ = Batch();
    filling_.nodes.reserve(kBatchNodes);
    changed_.notify_all();
}

void ThreadedSink::Run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [&] { return !queue_.empty() || finishing_; });
        if (queue_.empty()) return;
        Batch batch = std::move(queue_.front());
        queue_.pop_front();
        changed_.notify_all();
        guard.unlock();
        if (batch.begins) next_.Part(*batch.part);
        for (NodeResult& node : batch.nodes) next_.Node(*batch.part, std::move(node));
        if (batch.ends) next_.EndPart(*batch.part);
        guard.lock();
    }
}

void ThreadedSink::Finish() {
    if (!worker_.joinable()) return;
    Send();
    {
        std::lock_guard<std::mutex> guard(lock_);
        finishing_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

}  // namespace ravlin::cli
