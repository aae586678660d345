// Hands what a walk produces on to another sink on a thread of its own, in batches and in order:
// the walk goes on while the other sink formats and writes.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Results.h"

namespace ravlin::cli {

class ThreadedSink final : public ResultSink {
public:
    explicit ThreadedSink(ResultSink& next);
    ~ThreadedSink() override;
    ThreadedSink(const ThreadedSink&) = delete;
    ThreadedSink& operator=(const ThreadedSink&) = delete;

    void Part(const PartResult& part) override;
    void Node(const PartResult& part, NodeResult&& node) override;
    void EndPart(const PartResult& part) override;
    // Returns once the other sink has taken everything; nothing may be added after.
    void Finish();

private:
    struct Batch {
        std::shared_ptr<const PartResult> part;
        bool begins = false;  // the other sink's Part comes first
        bool ends = false;    // and its EndPart last
        std::vector<NodeResult> nodes;
    };
    void Send();  // queues the batch being filled, waiting while the queue is full
    void Run();

    ResultSink& next_;
    std::shared_ptr<const PartResult> part_;
    Batch filling_;
    std::deque<Batch> queue_;
    bool finishing_ = false;
    std::mutex lock_;
    std::condition_variable changed_;
    std::thread worker_;
};

}  // namespace ravlin::cli
