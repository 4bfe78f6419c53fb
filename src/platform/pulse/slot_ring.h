#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace mivo::platform::pulse {

// A FIFO on a circular array. Popping never frees memory, so the audio thread can take entries
// off the front while only the scheduling side ever grows it; that side makes the larger array
// before it takes the lock the audio thread also takes, and hands it in with regrow().
template <typename T>
class SlotRing {
public:
    explicit SlotRing(size_t capacity = 16) : slots_(capacity < 1 ? 1 : capacity) {}

    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    size_t capacity() const { return slots_.size(); }

    T& operator[](size_t i) { return slots_[(head_ + i) % slots_.size()]; }
    T& front() { return slots_[head_]; }

    bool full() const { return count_ == slots_.size(); }

    // Only when not full(): pushing never allocates.
    void push(T value) {
        slots_[(head_ + count_) % slots_.size()] = std::move(value);
        ++count_;
    }

    // Moves every entry into `larger` (at least size() + 1 slots, made by the caller) and keeps it;
    // `larger` gets the old, emptied array back, for the caller to free outside its lock.
    void regrow(std::vector<T>& larger) {
        for (size_t i = 0; i < count_; ++i) larger[i] = std::move((*this)[i]);
        slots_.swap(larger);
        head_ = 0;
    }

    T pop() {
        T value = std::move(slots_[head_]);
        slots_[head_] = T{};
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return value;
    }

    void swap(SlotRing& other) noexcept {
        slots_.swap(other.slots_);
        std::swap(head_, other.head_);
        std::swap(count_, other.count_);
    }

private:
    std::vector<T> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
};

}  // namespace mivo::platform::pulse
