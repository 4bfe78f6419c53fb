#pragma once

// An engine's nodes: taps and player completions run only when a test delivers them, so their
// timing is the test's to choose.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/audio_platform.h"
#include "support/in_flight.h"

namespace mivo::testing {

namespace detail {
struct PlatformState;  // shared by the platform and every object it made
}

using platform::AudioFormat;
using platform::PCMBuffer;

class ScriptedEngine;

class ScriptedInputNode final : public platform::InputNode {
public:
    struct Tap {
        uint32_t bus = 0;
        uint32_t bufferSize = 0;
        AudioFormat format;
    };

    AudioFormat outputFormatForBus(uint32_t bus) const override;
    std::optional<platform::PlatformError> setVoiceProcessingEnabled(bool enabled) override;
    void setVoiceProcessingInputMuted(bool muted) override;
    void setVoiceProcessingBypassed(bool bypassed) override;
    void setVoiceProcessingAGCEnabled(bool enabled) override;
    void installTapOnBus(uint32_t bus, uint32_t bufferSize, const AudioFormat& format,
                         platform::TapBlock block) override;
    void removeTapOnBus(uint32_t bus) override;

    // Inspection: nullopt until the core set it.
    std::optional<bool> voiceProcessingEnabled() const;
    std::optional<bool> voiceProcessingInputMuted() const;
    std::optional<bool> voiceProcessingBypassed() const;
    std::optional<bool> voiceProcessingAGCEnabled() const;
    std::optional<Tap> installedTap() const;
    bool tapInstalled() const { return installedTap().has_value(); }
    size_t tapInstallCount() const;

    // Calls the installed tap on this thread and returns once it has returned; false (nothing
    // called) when no tap is installed. The buffer is float, at `sampleRate` (default: the tap's
    // rate), with as many channels as given.
    bool deliver(const std::vector<std::vector<float>>& channels, std::optional<double> sampleRate = {});
    bool deliver(const PCMBuffer& buffer);
    // Calls the most recently installed tap's block even though it was removed: breaks the
    // platform's guarantee on purpose, to show that a block outliving its instance is harmless.
    bool deliverToRemovedTap(const PCMBuffer& buffer);

    explicit ScriptedInputNode(std::shared_ptr<detail::PlatformState> platform);

private:
    friend class ScriptedEngine;
    void waitForTapCalls(std::unique_lock<std::mutex>& lock);

    std::shared_ptr<detail::PlatformState> state_;
    std::optional<bool> enabled_, muted_, bypassed_, agc_;
    std::optional<Tap> tap_;
    std::shared_ptr<platform::TapBlock> block_;  // of the installed tap, or of the last removed one
    size_t installs_ = 0;
    uint64_t deliveredFrames_ = 0;
    InFlight tapCalls_;
};

class ScriptedOutputNode final : public platform::OutputNode {
public:
    explicit ScriptedOutputNode(std::shared_ptr<detail::PlatformState> platform) : state_(std::move(platform)) {}
    AudioFormat outputFormatForBus(uint32_t bus) const override;

private:
    std::shared_ptr<detail::PlatformState> state_;
};

class ScriptedMixerNode final : public platform::MixerNode {
public:
    explicit ScriptedMixerNode(std::shared_ptr<detail::PlatformState> platform) : state_(std::move(platform)) {}
    AudioFormat outputFormatForBus(uint32_t bus) const override;

private:
    std::shared_ptr<detail::PlatformState> state_;
};

class ScriptedPlayerNode final : public platform::PlayerNode {
public:
    enum class BufferState {
        scheduled,             // waiting to be played
        completed,             // its handler ran as played back
        dropped,               // stop() or reset() dropped it; its handler has not run
        droppedThenCompleted,  // dropped, and a test fired its handler afterwards
    };
    struct Scheduled {
        size_t index = 0;  // in scheduling order, from 0, for this player
        std::shared_ptr<PCMBuffer> buffer;
        platform::CompletionCallbackType type = platform::CompletionCallbackType::dataConsumed;
        uint32_t frameLength = 0;    // at scheduling time
        std::vector<float> samples;  // channel 0 at scheduling time
        BufferState state = BufferState::scheduled;
    };

    AudioFormat outputFormatForBus(uint32_t bus) const override;
    void play() override;
    void stop() override;
    void reset() override;
    bool isPlaying() const override;
    void scheduleBuffer(std::shared_ptr<PCMBuffer> buffer, platform::CompletionCallbackType type,
                        platform::CompletionHandler handler) override;

    // Inspection without logging.
    bool playing() const;
    std::vector<Scheduled> scheduled() const;  // every buffer ever scheduled, in order
    size_t pendingCount() const;               // in state `scheduled`
    size_t scheduledCount() const;             // every buffer ever scheduled
    // One buffer's record, without copying the others; nullopt past the end.
    std::optional<Scheduled> scheduledAt(size_t index) const;

    // Completions, run on this thread; each handler runs at most once.
    bool completeNext();                    // the oldest buffer still scheduled
    bool complete(size_t index);            // a scheduled or a dropped buffer
    size_t completeAll();                   // every buffer still scheduled, oldest first
    size_t completeDropped();               // fires the handlers of dropped buffers
    // Fires a handler that has already run once more: breaks the platform's guarantee on purpose,
    // to show that a duplicated completion counts once. False when it has not run yet.
    bool completeAgain(size_t index);

    explicit ScriptedPlayerNode(std::shared_ptr<detail::PlatformState> platform) : state_(std::move(platform)) {}

private:
    struct Entry {
        Scheduled info;
        platform::CompletionHandler handler;
        platform::CompletionHandler spent;  // the handler once it has run, for completeAgain
    };
    bool fire(std::unique_lock<std::mutex>& lock, size_t index);
    // Fires, oldest first, every buffer in `state` when called.
    size_t completeIn(BufferState state);
    void dropAndWait(std::unique_lock<std::mutex>& lock);

    std::shared_ptr<detail::PlatformState> state_;
    bool playing_ = false;
    std::vector<Entry> entries_;
    InFlight handlerCalls_;
};

}  // namespace mivo::testing
