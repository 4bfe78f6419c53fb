#pragma once

// What the core asked of the platform, kept in the exact texts the suites match against.

#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio_platform.h"

namespace mivo::testing {

using platform::AudioFormat;

// "48000/1", "16000/1 int16", "44100/2 interleaved"; rates that are not whole numbers print as %g.
std::string describe(const AudioFormat& format);

namespace detail {
// Numbers as the call log prints them: whole ones without a fraction, others as %g.
std::string number(double value);
}  // namespace detail

// The call log: thread-safe, append-only until cleared.
class CallLog {
public:
    static constexpr size_t npos = std::numeric_limits<size_t>::max();

    void add(std::string entry);
    void clear();
    std::vector<std::string> entries() const;
    size_t size() const;
    // One entry per line, for failure messages.
    std::string dump() const;

    // Exact matches.
    size_t indexOf(std::string_view entry, size_t from = 0) const;
    size_t count(std::string_view entry) const;
    bool contains(std::string_view entry) const { return indexOf(entry) != npos; }
    // Matches by prefix ("player.scheduleBuffer" matches "player.scheduleBuffer 480").
    size_t indexOfPrefix(std::string_view prefix, size_t from = 0) const;
    size_t countPrefix(std::string_view prefix) const;
    std::vector<std::string> withPrefix(std::string_view prefix) const;
    // True when every entry occurs, exactly matched, in this order (others may come between).
    bool inOrder(std::initializer_list<std::string_view> sequence) const;
    // Waits until `entry` (exact) has been logged at least `occurrences` times; false at the timeout.
    bool waitFor(std::string_view entry, std::chrono::milliseconds timeout, size_t occurrences = 1) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable added_;
    std::vector<std::string> entries_;
};

}  // namespace mivo::testing
