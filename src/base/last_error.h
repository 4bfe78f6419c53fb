#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace mivo::base {

// The instance's last error: one line of text, replaced by each failure and never cleared.
// Neither operation throws, so a failure can always be told, even out of memory.
class LastError {
public:
    LastError();

    // `text` followed directly by `detail`. Without memory for a longer line, as much of it as
    // fits the room already held.
    void set(std::string_view text, std::string_view detail = {}) noexcept;
    // Copies at most `capacity - 1` bytes and a NUL; the count copied without the NUL. Nothing
    // for a capacity below 1. Cuts by bytes, so a multi-byte character may be cut in half.
    int64_t copy(char* destination, int64_t capacity) const noexcept;

private:
    mutable std::mutex mutex_;
    std::string text_;
};

}  // namespace mivo::base
