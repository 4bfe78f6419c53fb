#include "base/last_error.h"

#include <algorithm>
#include <cstring>

namespace mivo::base {

void LastError::set(std::string_view text, std::string_view detail) {
    std::string line;
    line.reserve(text.size() + detail.size());
    line.append(text).append(detail);
    std::lock_guard<std::mutex> guard(mutex_);
    text_.swap(line);
}

int64_t LastError::copy(char* destination, int64_t capacity) const {
    if (capacity < 1) return 0;
    std::string bytes;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        bytes = text_;
    }
    const int64_t count = std::min<int64_t>(capacity - 1, static_cast<int64_t>(bytes.size()));
    std::memcpy(destination, bytes.data(), static_cast<size_t>(count));
    destination[count] = '\0';
    return count;
}

}  // namespace mivo::base
