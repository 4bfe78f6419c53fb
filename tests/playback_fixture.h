#pragma once

// Shared by the playback suites: a started instance on the scripted platform, blocking calls run on
// threads of their own, and the three ways a playback generation ends.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error_texts.h"
#include "core/voice_io.h"
#include "support/scripted_platform.h"
#include "support/voice_io_test_support.h"

namespace mivo::testing::playback {

using namespace std::chrono_literals;
using core::VoiceIO;

// How long anything that should happen promptly may take before a test gives up on it.
inline constexpr auto generous = 5s;

inline const std::string notRunning(base::texts::notRunning);
inline const std::string stoppedDuringPlayback(base::texts::stoppedDuringPlayback);
inline const std::string capacityTimeout(base::texts::capacityTimeout);
inline const std::string waitTimeout(base::texts::waitTimeout);
inline const std::string bufferFailure(base::texts::bufferFailure);

// True while the thread sleeps in the kernel. In the calls under test nothing but a condition wait
// (or a submission waiting on the control queue) sleeps, so a steady sleep means "blocked there".
inline bool sleeping(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

// A blocking call on a thread of its own. Neither copyable nor movable: the thread refers to it.
class Background {
public:
    explicit Background(std::function<int32_t()> call)
        : result_(std::async(std::launch::async, [this, call = std::move(call)] {
              tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
              return call();
          })) {}
    ~Background() {
        if (result_.valid()) result_.wait();
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Waits until the call is steadily asleep without having returned. False if it returned, or
    // never went to sleep within the generous bound.
    bool blocks() {
        const auto giveUp = std::chrono::steady_clock::now() + generous;
        int steady = 0;
        while (std::chrono::steady_clock::now() < giveUp) {
            if (returned()) return false;
            const pid_t tid = tid_.load();
            steady = tid != 0 && sleeping(tid) ? steady + 1 : 0;
            if (steady >= 5) return !returned();
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }
    bool returned() { return result_.wait_for(0s) == std::future_status::ready; }
    bool returnsWithin(std::chrono::milliseconds bound) {
        return result_.wait_for(bound) == std::future_status::ready;
    }
    int32_t get() { return result_.get(); }

private:
    std::atomic<pid_t> tid_{0};
    std::future<int32_t> result_;
};

// The events that end a playback generation.
enum class Cancel { interrupt, stop, configurationChange };

inline const char* name(Cancel cancel) {
    switch (cancel) {
        case Cancel::interrupt: return "Interrupt";
        case Cancel::stop: return "Stop";
        case Cancel::configurationChange: return "ConfigurationChange";
    }
    return "?";
}

class PlaybackFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(voice->start());
        log().clear();
    }

    ScriptedPlayerNode& player() { return *platform->currentPlayer(); }
    CallLog& log() { return platform->log(); }
    // Not while a stop or start runs on another thread: it reads fields that only they write.
    VoiceIOState state() { return inspect(*voice); }
    std::string lastError() {
        char text[256];
        voice->copyLastError(text, sizeof text);
        return text;
    }

    int32_t write(int64_t frames, int16_t value = 0) {
        std::vector<int16_t> samples(static_cast<size_t>(frames), value);
        return voice->writePlayback(samples.data(), frames);
    }
    std::unique_ptr<Background> writeInBackground(int64_t frames, int16_t value = 0) {
        return std::make_unique<Background>([this, frames, value] { return write(frames, value); });
    }
    std::unique_ptr<Background> waitInBackground() {
        return std::make_unique<Background>([this] { return voice->waitForPlayback(); });
    }

    // Ends the generation from a thread of its own (stop and interruption wait for the control
    // queue, which the test may be holding) and returns once the shared state shows it ended.
    std::jthread cancel(Cancel how) {
        switch (how) {
            case Cancel::interrupt: {
                const uint64_t before = state().generation;
                std::jthread thread([this] { voice->interruptPlayback(); });
                const auto giveUp = std::chrono::steady_clock::now() + generous;
                while (state().generation == before && std::chrono::steady_clock::now() < giveUp) {
                    std::this_thread::sleep_for(1ms);
                }
                return thread;
            }
            case Cancel::stop: {
                // The tap goes right after running is cleared and before the control-queue work.
                const size_t removals = log().count("input.removeTapOnBus 0");
                std::jthread thread([this] { voice->stop(); });
                EXPECT_TRUE(log().waitFor("input.removeTapOnBus 0", generous, removals + 1));
                return thread;
            }
            case Cancel::configurationChange:
                EXPECT_EQ(platform->postConfigurationChange(), 1u);
                return std::jthread();
        }
        return std::jthread();
    }

    const std::shared_ptr<ScriptedPlatform> platform = std::make_shared<ScriptedPlatform>();
    std::shared_ptr<VoiceIO> voice = VoiceIO::create(platform);
};

inline void joinIfNeeded(std::jthread& thread) {
    if (thread.joinable()) thread.join();
}

// A write's two steps as the call log names them.
inline std::string bufferOf(int64_t frames) { return "makePCMBuffer 48000/1 " + std::to_string(frames); }
inline std::string scheduleOf(int64_t frames) { return "player.scheduleBuffer " + std::to_string(frames); }

}  // namespace mivo::testing::playback
