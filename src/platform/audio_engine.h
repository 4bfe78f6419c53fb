#pragma once

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
