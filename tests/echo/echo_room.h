// The echo room's sessions: far-end speech through the library and a near-end talker in a private
// server's virtual room, with room.monitor (the microphone) recorded by a plain client beside it.
// Both are cut by arrival time, so no alignment by content is needed for the energy comparison.

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio_platform.h"
#include "pulse_daemon_test.h"
#include "spoken_signal.h"

namespace mivo::testing {

using Clock = std::chrono::steady_clock;
namespace platform = mivo::platform;

inline constexpr double playRate = 48000.0;
inline constexpr double captureRate = 16000.0;

// The timeline, in seconds from the first far-end write.
inline constexpr double farOnlyEnd = 8.0;
inline constexpr double convergence = 3.0;  // the canceller is judged only after this
inline constexpr double echoWindowEnd = 7.9;
inline constexpr double nearAloneAt = 8.6;
inline constexpr double farDoubleAt = 11.2;
inline constexpr double farDoubleEnd = 14.0;
inline constexpr double nearDoubleAt = 11.5;
inline constexpr double sessionEnd = 14.5;
inline constexpr double nearMaxSeconds = 2.4;

double decibels(double ratio);
// `text` spoken by espeak-ng, trimmed of silence, at 48 kHz and -20 dBFS RMS.
std::vector<float> speech(const std::string& text, const std::string& voice, const std::string& directory);
Clock::time_point after(Clock::time_point base, double seconds);

// 16 kHz samples with the arrival time of every read, so that parts can be cut by time.
struct Recording {
    std::vector<double> samples;  // [-1, 1)
    std::vector<std::pair<size_t, Clock::time_point>> reads;  // samples so far, when they arrived

    // The first sample of the first read that arrived at or after `when`.
    size_t indexAt(Clock::time_point when) const {
        size_t previous = 0;
        for (const auto& [total, arrived] : reads) {
            if (arrived >= when) return previous;
            previous = total;
        }
        return samples.size();
    }
    double meanSquareBetween(Clock::time_point from, Clock::time_point to) const {
        return meanSquare(samples, indexAt(from), indexAt(to));
    }
};

struct Session {
    Recording library;     // what the host read through the C interface
    Recording microphone;  // room.monitor through a plain client
    Clock::time_point farStarted;
    Clock::time_point nearStarted;
    double nearSeconds = 0.0;
    uint64_t writtenFrames = 0;
    uint64_t playedFrames = 0;
};

class EchoRoomTest : public PulseDaemonTest {
protected:
    // PipeWire's own loopback moves its delay by itself now and then (5.33 ms at once, measured),
    // and a whole-window floor then fails for the rig's sake while the canceller finds the echo
    // again within a second; there the room client makes the same pure delay and holds it.
    std::string roomName() const override {
        return room::serverKindFromEnvironment() == room::ServerKind::pipewire ? "pure-60" : "loopback-60";
    }
    void SetUp() override {
        PulseDaemonTest::SetUp();
        if (HasFatalFailure()) return;
        far_ = speech("Good morning. This is the far end of the call, speaking through your loudspeaker. "
                      "Everything I say comes back into your microphone a moment later, and it has to be "
                      "taken out again before anybody hears it.",
                      "en-us+m3", daemon().directory());
        farAgain_ = speech("Now we are both talking at the same time, which must not remove your voice.",
                           "en-us+m3", daemon().directory());
        near_ = speech("Hello, this is the person in the room.", "en+f3", daemon().directory());
        ASSERT_FALSE(far_.empty() || farAgain_.empty() || near_.empty())
            << "espeak-ng (Debian package espeak-ng) is needed to make the talkers";
        ASSERT_GE(far_.size(), static_cast<size_t>(farOnlyEnd * playRate));
        ASSERT_GE(farAgain_.size(), static_cast<size_t>((farDoubleEnd - farDoubleAt) * playRate));
        ASSERT_LE(near_.size(), static_cast<size_t>(nearMaxSeconds * playRate));
    }

    // Far end through the library, and the near-end talker into the room if `withNearEnd`.
    // `beforeWrite` is called with the far-end time of every write, before it.
    Session run(std::shared_ptr<platform::AudioPlatform> platform, bool withNearEnd,
                const std::function<void(double)>& beforeWrite = {});

    // Echo return loss enhancement over the far-end-only part after convergence, in dB.
    static double echoReduction(const Session& session, double* microphoneDb) {
        return echoReductionBetween(session, convergence, echoWindowEnd, microphoneDb);
    }
    static double echoReductionBetween(const Session& session, double fromSeconds, double toSeconds,
                                       double* microphoneDb) {
        const auto from = after(session.farStarted, fromSeconds);
        const auto to = after(session.farStarted, toSeconds);
        const double heard = session.microphone.meanSquareBetween(from, to);
        const double kept = session.library.meanSquareBetween(from, to);
        if (microphoneDb) *microphoneDb = decibels(heard);
        return decibels(heard / std::max(kept, 1e-20));
    }

    std::vector<float> far_;
    std::vector<float> farAgain_;
    std::vector<float> near_;
};

// How much of the near-end-alone output is found in the double-talk output.
struct NearEndPresence {
    double correlation = 0.0;  // normalised, at the best lag
    double lossDb = 0.0;       // -20 log10 of the least-squares gain; 0 = nothing lost
};

NearEndPresence findNearEnd(const Session& session);

}  // namespace mivo::testing
