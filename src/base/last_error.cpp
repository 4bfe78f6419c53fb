#include "base/last_error.h"

#include <algorithm>
#include <cstring>

namespace mivo::base {

namespace {

// Room for every text the library writes itself, so that only a long platform reason can need more.
constexpr size_t reservedRoom = 256;

// Appends what fits without growing the string.
void appendWithinRoom(std::string& line, std::string_view part) noexcept {
    line.append(part.substr(0, line.capacity() - line.size()));
}

}  // namespace

LastError::LastError() { text_.reserve(reservedRoom); }

void LastError::set(std::string_view text, std::string_view detail) noexcept {
    std::lock_guard<std::mutex> guard(mutex_);
    try {
        text_.assign(text).append(detail);
    } catch (...) {
        text_.clear();
        appendWithinRoom(text_, text);
        appendWithinRoom(text_, detail);
    }
}

int64_t LastError::copy(char* destination, int64_t capacity) const noexcept {
    if (capacity < 1) return 0;
    std::lock_guard<std::mutex> guard(mutex_);
    const int64_t count = std::min<int64_t>(capacity - 1, static_cast<int64_t>(text_.size()));
    std::memcpy(destination, text_.data(), static_cast<size_t>(count));
    destination[count] = '\0';
    return count;
}

}  // namespace mivo::base
