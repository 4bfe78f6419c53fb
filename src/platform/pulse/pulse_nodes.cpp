#include "platform/pulse/pulse_nodes.h"

#include <utility>

#include "platform/pulse/pulse_engine.h"

namespace mivo::platform::pulse {

namespace {

class PulseInputNode final : public InputNode {
public:
    explicit PulseInputNode(std::weak_ptr<PulseEngine> engine) : engine_(std::move(engine)) {}

    AudioFormat outputFormatForBus(uint32_t) const override {
        auto engine = engine_.lock();
        return engine ? engine->inputFormat() : unusableFormat();
    }
    std::optional<PlatformError> setVoiceProcessingEnabled(bool enabled) override {
        auto engine = engine_.lock();
        if (!engine) return PlatformError{"The audio engine is gone"};
        return engine->setVoiceProcessingEnabled(enabled);
    }
    void setVoiceProcessingInputMuted(bool muted) override {
        if (auto engine = engine_.lock()) engine->setInputMuted(muted);
    }
    void setVoiceProcessingBypassed(bool bypassed) override {
        if (auto engine = engine_.lock()) engine->setBypassed(bypassed);
    }
    void setVoiceProcessingAGCEnabled(bool enabled) override {
        if (auto engine = engine_.lock()) engine->setAGCEnabled(enabled);
    }
    // Taps always get the node's own format; only the size is the caller's.
    void installTapOnBus(uint32_t, uint32_t bufferSize, const AudioFormat&, TapBlock block) override {
        if (auto engine = engine_.lock()) engine->installTap(bufferSize, std::move(block));
    }
    void removeTapOnBus(uint32_t) override {
        if (auto engine = engine_.lock()) engine->removeTap();
    }

private:
    const std::weak_ptr<PulseEngine> engine_;
};

// A node whose only question is its format, which one of the engine's methods answers.
template <typename Node, AudioFormat (PulseEngine::*formatOf)() const>
class FormatOnlyNode final : public Node {
public:
    explicit FormatOnlyNode(std::weak_ptr<PulseEngine> engine) : engine_(std::move(engine)) {}
    AudioFormat outputFormatForBus(uint32_t) const override {
        auto engine = engine_.lock();
        return engine ? ((*engine).*formatOf)() : unusableFormat();
    }

private:
    const std::weak_ptr<PulseEngine> engine_;
};

}  // namespace

AudioFormat unusableFormat() { return AudioFormat{CommonFormat::float32, 0.0, 0, false}; }

std::shared_ptr<InputNode> makeInputNode(std::weak_ptr<PulseEngine> engine) {
    return std::make_shared<PulseInputNode>(std::move(engine));
}

std::shared_ptr<OutputNode> makeOutputNode(std::weak_ptr<PulseEngine> engine) {
    return std::make_shared<FormatOnlyNode<OutputNode, &PulseEngine::outputFormat>>(std::move(engine));
}

std::shared_ptr<MixerNode> makeMixerNode(std::weak_ptr<PulseEngine> engine) {
    return std::make_shared<FormatOnlyNode<MixerNode, &PulseEngine::mixerFormat>>(std::move(engine));
}

}  // namespace mivo::platform::pulse
