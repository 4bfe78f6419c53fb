#pragma once

#include <atomic>
#include <memory>

namespace mivo::core {

// An optional object that start and stop replace while other threads take references to it.
template <typename T>
class AtomicShared {
public:
    std::shared_ptr<T> load() const { return value_.load(std::memory_order_acquire); }
    void store(std::shared_ptr<T> value) { value_.store(std::move(value), std::memory_order_release); }
    void reset() { store(nullptr); }
    explicit operator bool() const { return load() != nullptr; }

private:
    std::atomic<std::shared_ptr<T>> value_;
};

}  // namespace mivo::core
