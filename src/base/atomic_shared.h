#pragma once

#include <atomic>
#include <memory>
#include <thread>

namespace mivo::base {

// An optional object that start and stop replace while other threads, the capture thread among
// them, take references to it. Guarded by a spin flag held only for a pointer copy: it never puts
// the reader to sleep and allocates nothing. (The standard atomic shared_ptr does the same, but in
// a form that ThreadSanitizer cannot follow.)
template <typename T>
class AtomicShared {
public:
    std::shared_ptr<T> load() const noexcept {
        Hold hold(busy_);
        return value_;
    }
    void store(std::shared_ptr<T> value) noexcept {
        {
            Hold hold(busy_);
            value_.swap(value);
        }
        // The previous object, if this was its last reference, is released outside the flag.
    }
    void reset() noexcept { store(nullptr); }
    explicit operator bool() const {
        Hold hold(busy_);
        return value_ != nullptr;
    }

private:
    class Hold {
    public:
        explicit Hold(std::atomic<bool>& busy) noexcept : busy_(busy) {
            while (busy_.exchange(true, std::memory_order_acquire)) {
                while (busy_.load(std::memory_order_relaxed)) std::this_thread::yield();
            }
        }
        ~Hold() { busy_.store(false, std::memory_order_release); }

    private:
        std::atomic<bool>& busy_;
    };

    mutable std::atomic<bool> busy_{false};
    std::shared_ptr<T> value_;
};

}  // namespace mivo::base
