#pragma once

// The engine and its nodes. The contract between the core and a backend:
//
// Threads. The tap, the completion handlers and the configuration-change observers (the core's
// blocks) run on threads of the engine, never on a thread that called into it, and never two of
// the same engine's blocks at once. Every other call comes from core threads, any of them.
//
// Blocks. The core's blocks hold only weak references and take the core's locks briefly; they may
// call the engine and the player (schedule, stop, reset, play) and stop the engine. They must not
// be called after the operation that ends them has returned: removeTapOnBus, the player's stop
// and reset, removeObserver and the engine's stop each return only once no call of the blocks
// they end is in flight. Called from inside one of those blocks, they must not wait for it (no
// self-join, no deadlock) and finish the work after the block returns. The core itself never calls
// them from inside its own blocks, so a block never drops the last reference to an instance.
//
// Blocking. start may wait for the audio system, bounded; stop waits only for the engine's own
// threads. Player calls and node settings return promptly. The backend's own work on its audio
// threads (capture, mixing, completions) allocates and frees nothing and takes only short locks.
//
// Ownership. A scheduled buffer and its handler are the backend's until the handler has run or
// the buffer was dropped; the backend releases them off its audio threads where it can. The buffer
// a tap is given is valid only during that call.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/audio_format.h"
#include "platform/pcm_buffer.h"
#include "platform/platform_error.h"

namespace mivo::platform {

struct AudioTime {
    uint64_t sampleTime = 0;
    double sampleRate = 0.0;
};

class AudioNode {
public:
    virtual ~AudioNode() = default;
    virtual AudioFormat outputFormatForBus(uint32_t bus) const = 0;
};

// Called on the engine's capture thread, never concurrently with itself.
using TapBlock = std::function<void(const PCMBuffer& buffer, const AudioTime& when)>;

class InputNode : public AudioNode {
public:
    virtual std::optional<PlatformError> setVoiceProcessingEnabled(bool enabled) = 0;
    virtual void setVoiceProcessingInputMuted(bool muted) = 0;
    virtual void setVoiceProcessingBypassed(bool bypassed) = 0;
    virtual void setVoiceProcessingAGCEnabled(bool enabled) = 0;

    virtual void installTapOnBus(uint32_t bus, uint32_t bufferSize, const AudioFormat& format, TapBlock block) = 0;
    // Returns once no call of the tap is in flight; the tap is never called afterwards.
    // From inside the tap it does not wait for itself.
    virtual void removeTapOnBus(uint32_t bus) = 0;
};

class OutputNode : public AudioNode {};

class MixerNode : public AudioNode {};

enum class CompletionCallbackType : int32_t {
    dataConsumed = 0,
    dataRendered = 1,
    dataPlayedBack = 2,
};

using CompletionHandler = std::function<void(CompletionCallbackType)>;

class PlayerNode : public AudioNode {
public:
    virtual void play() = 0;
    // Drops every scheduled buffer and returns once no completion handler is in flight.
    virtual void stop() = 0;
    virtual void reset() = 0;
    virtual bool isPlaying() const = 0;
    // The handler runs once per buffer, later, on a platform thread.
    virtual void scheduleBuffer(std::shared_ptr<PCMBuffer> buffer, CompletionCallbackType type,
                                CompletionHandler handler) = 0;
};

class AudioEngine {
public:
    virtual ~AudioEngine() = default;

    virtual std::shared_ptr<InputNode> inputNode() = 0;
    virtual std::shared_ptr<OutputNode> outputNode() = 0;
    virtual std::shared_ptr<MixerNode> mainMixerNode() = 0;

    virtual void attachNode(const std::shared_ptr<PlayerNode>& node) = 0;
    virtual void connect(const std::shared_ptr<AudioNode>& from, const std::shared_ptr<AudioNode>& to,
                         const AudioFormat& format) = 0;

    virtual void prepare() = 0;
    // Empty on success.
    virtual std::optional<PlatformError> start() = 0;
    virtual void stop() = 0;
};

}  // namespace mivo::platform
