#pragma once

// What the platform tests share: a fresh private daemon per test, an engine wired the way the
// core wires it, and a tap that keeps what it is given.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/pulse/pulse_platform.h"
#include "private_pulse_daemon.h"
#include "pulse_daemon_test.h"

namespace mivo::testing {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using platform::AudioFormat;
using platform::AudioTime;
using platform::PCMBuffer;

// An engine with voice processing on, a player attached, player -> mixer -> output connected
// with 48 kHz mono float: what the core builds.
struct Graph {
    std::shared_ptr<platform::pulse::PulsePlatform> platform;
    std::shared_ptr<platform::AudioEngine> engine;
    std::shared_ptr<platform::PlayerNode> player;

    static Graph make(platform::pulse::PulsePlatformOptions options = {}, bool voiceProcessing = true,
                      std::shared_ptr<platform::pulse::PulsePlatform> platform = nullptr) {
        Graph graph;
        graph.platform = platform ? std::move(platform)
                                  : std::make_shared<platform::pulse::PulsePlatform>(std::move(options));
        graph.engine = graph.platform->makeEngine();
        graph.player = graph.platform->makePlayerNode();
        graph.engine->inputNode()->setVoiceProcessingEnabled(voiceProcessing);
        const AudioFormat format = graph.engine->inputNode()->outputFormatForBus(0);
        graph.engine->attachNode(graph.player);
        graph.engine->connect(graph.player, graph.engine->mainMixerNode(), platform::standardFormat(48000, 1));
        graph.engine->connect(graph.engine->mainMixerNode(), graph.engine->outputNode(), format);
        return graph;
    }
};

// Keeps every tap buffer's length and channel-0 samples, and which threads called it.
class TapRecord {
public:
    platform::TapBlock block() {
        return [this](const PCMBuffer& buffer, const AudioTime& when) {
            std::lock_guard<std::mutex> hold(mutex_);
            lengths_.push_back(buffer.frameLength());
            channels_.insert(buffer.format().channelCount);
            rates_.insert(buffer.format().sampleRate);
            threads_.insert(std::this_thread::get_id());
            times_.push_back(when.sampleTime);
            const float* samples = buffer.floatChannelData()[0];
            samples_.insert(samples_.end(), samples, samples + buffer.frameLength());
            changed_.notify_all();
        };
    }

    bool waitForFrames(size_t frames, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, timeout, [&] { return samples_.size() >= frames; });
    }

    std::vector<uint32_t> lengths() const { return copy(lengths_); }
    std::vector<float> samples() const { return copy(samples_); }
    std::vector<uint64_t> times() const { return copy(times_); }
    std::set<uint32_t> channels() const { return copy(channels_); }
    std::set<double> rates() const { return copy(rates_); }
    std::set<std::thread::id> threads() const { return copy(threads_); }
    size_t frames() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return samples_.size();
    }

private:
    template <typename T>
    T copy(const T& value) const {
        std::lock_guard<std::mutex> hold(mutex_);
        return value;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint32_t> lengths_;
    std::vector<float> samples_;
    std::vector<uint64_t> times_;
    std::set<uint32_t> channels_;
    std::set<double> rates_;
    std::set<std::thread::id> threads_;
};

// A float buffer in the player's format holding `samples`.
inline std::shared_ptr<PCMBuffer> playerBuffer(platform::AudioPlatform& platform, const std::vector<float>& samples) {
    auto buffer = platform.makePCMBuffer(platform::standardFormat(48000, 1), static_cast<uint32_t>(samples.size()));
    std::copy(samples.begin(), samples.end(), buffer->floatChannelData()[0]);
    buffer->setFrameLength(static_cast<uint32_t>(samples.size()));
    return buffer;
}

// Waits until `done` holds, polling, up to `timeout`.
template <typename Done>
bool eventually(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return done();
}

// The index of this library's own stream among the server's sink inputs or source outputs.
inline long ownStream(PrivatePulseDaemon& daemon, const std::string& kind) {
    std::istringstream lines(daemon.pactlOutput("list " + kind));
    std::string line;
    long index = -1;
    while (std::getline(lines, line)) {
        const auto hash = line.find('#');
        if (line.rfind("Sink Input #", 0) == 0 || line.rfind("Source Output #", 0) == 0) {
            index = std::stol(line.substr(hash + 1));
        }
        if (line.find("application.name = \"MivoVoiceIO\"") != std::string::npos) return index;
    }
    return -1;
}

// The sink this library's playback stream is on, or -1.
inline long ownPlaybackSink(PrivatePulseDaemon& daemon) {
    std::istringstream lines(daemon.pactlOutput("list sink-inputs"));
    std::string line;
    long sink = -1;
    while (std::getline(lines, line)) {
        if (line.rfind("Sink Input #", 0) == 0) sink = -1;
        const auto at = line.find("Sink: ");
        if (at != std::string::npos && line.find("Sink Input") == std::string::npos) sink = std::stol(line.substr(at + 6));
        if (line.find("application.name = \"MivoVoiceIO\"") != std::string::npos) return sink;
    }
    return -1;
}

}  // namespace mivo::testing
