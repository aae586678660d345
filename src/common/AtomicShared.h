// A shared pointer that is read and replaced atomically: readers copy it, writers swap it.
#pragma once

#include <memory>
#include <mutex>

namespace ravlin {

template <class T>
class AtomicSharedPtr {
public:
    AtomicSharedPtr() = default;
    explicit AtomicSharedPtr(std::shared_ptr<T> value) : value_(std::move(value)) {}

    std::shared_ptr<T> Load() const {
        std::lock_guard<std::mutex> guard(lock_);
        return value_;
    }
    void Store(std::shared_ptr<T> value) {
        std::shared_ptr<T> old;
        {
            std::lock_guard<std::mutex> guard(lock_);
            old.swap(value_);
            value_ = std::move(value);
        }
    }
    // Replaces the pointer only when it still equals `expected`; otherwise loads the current
    // value into `expected` and returns false.
    bool CompareExchange(std::shared_ptr<T>& expected, std::shared_ptr<T> desired) {
        std::shared_ptr<T> old;
        std::lock_guard<std::mutex> guard(lock_);
        if (value_ != expected) {
            expected = value_;
            return false;
        }
        old.swap(value_);
        value_ = std::move(desired);
        return true;
    }

private:
    mutable std::mutex lock_;
    std::shared_ptr<T> value_;
};

}  // namespace ravlin
