// The log's lookups and waits take its own lock, so tests may read it while the core is still calling.

#include "support/call_log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace mivo::testing {

using platform::CommonFormat;

namespace detail {

std::string number(double value) {
    char text[64];
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%g", value);
    }
    return text;
}

}  // namespace detail

using detail::number;

std::string describe(const AudioFormat& format) {
    std::string text = number(format.sampleRate) + "/" + std::to_string(format.channelCount);
    if (format.commonFormat == CommonFormat::int16) text += " int16";
    if (format.interleaved) text += " interleaved";
    return text;
}

void CallLog::add(std::string entry) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        entries_.push_back(std::move(entry));
    }
    added_.notify_all();
}

void CallLog::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.clear();
}

std::vector<std::string> CallLog::entries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_;
}

size_t CallLog::size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.size();
}

std::string CallLog::dump() const {
    std::string text;
    for (const auto& entry : entries()) text += entry + "\n";
    return text;
}

size_t CallLog::indexOf(std::string_view entry, size_t from) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (size_t i = from; i < entries_.size(); ++i) {
        if (entries_[i] == entry) return i;
    }
    return npos;
}

size_t CallLog::count(std::string_view entry) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<size_t>(std::count(entries_.begin(), entries_.end(), entry));
}

size_t CallLog::indexOfPrefix(std::string_view prefix, size_t from) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (size_t i = from; i < entries_.size(); ++i) {
        if (std::string_view(entries_[i]).starts_with(prefix)) return i;
    }
    return npos;
}

size_t CallLog::countPrefix(std::string_view prefix) const { return withPrefix(prefix).size(); }

std::vector<std::string> CallLog::withPrefix(std::string_view prefix) const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> found;
    for (const auto& entry : entries_) {
        if (std::string_view(entry).starts_with(prefix)) found.push_back(entry);
    }
    return found;
}

bool CallLog::inOrder(std::initializer_list<std::string_view> sequence) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto next = sequence.begin();
    for (const auto& entry : entries_) {
        if (next == sequence.end()) break;
        if (entry == *next) ++next;
    }
    return next == sequence.end();
}

bool CallLog::waitFor(std::string_view entry, std::chrono::milliseconds timeout, size_t occurrences) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return added_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(std::count(entries_.begin(), entries_.end(), entry)) >= occurrences;
    });
}

}  // namespace mivo::testing
