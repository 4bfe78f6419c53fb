// A platform whose engines bypass voice processing, for the control cases: the same measurement
// must then see the echo.

#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/audio_platform.h"

namespace mivo::testing {

namespace platform = mivo::platform;

// The core always asks for processing; for the control case the input node is made to pass
// the microphone through, so that the same measurement must then see the echo.

class BypassedInputNode final : public platform::InputNode {
public:
    explicit BypassedInputNode(std::shared_ptr<platform::InputNode> real) : real_(std::move(real)) {}
    platform::AudioFormat outputFormatForBus(uint32_t bus) const override { return real_->outputFormatForBus(bus); }
    std::optional<platform::PlatformError> setVoiceProcessingEnabled(bool enabled) override {
        return real_->setVoiceProcessingEnabled(enabled);
    }
    void setVoiceProcessingInputMuted(bool muted) override { real_->setVoiceProcessingInputMuted(muted); }
    void setVoiceProcessingBypassed(bool) override { real_->setVoiceProcessingBypassed(true); }
    void setVoiceProcessingAGCEnabled(bool enabled) override { real_->setVoiceProcessingAGCEnabled(enabled); }
    void installTapOnBus(uint32_t bus, uint32_t bufferSize, const platform::AudioFormat& format,
                         platform::TapBlock block) override {
        real_->installTapOnBus(bus, bufferSize, format, std::move(block));
    }
    void removeTapOnBus(uint32_t bus) override { real_->removeTapOnBus(bus); }

private:
    const std::shared_ptr<platform::InputNode> real_;
};

class BypassingEngine final : public platform::AudioEngine {
public:
    explicit BypassingEngine(std::shared_ptr<platform::AudioEngine> real)
        : real_(std::move(real)), input_(std::make_shared<BypassedInputNode>(real_->inputNode())) {}
    const platform::AudioEngine* real() const { return real_.get(); }

    std::shared_ptr<platform::InputNode> inputNode() override { return input_; }
    std::shared_ptr<platform::OutputNode> outputNode() override { return real_->outputNode(); }
    std::shared_ptr<platform::MixerNode> mainMixerNode() override { return real_->mainMixerNode(); }
    void attachNode(const std::shared_ptr<platform::PlayerNode>& node) override { real_->attachNode(node); }
    void connect(const std::shared_ptr<platform::AudioNode>& from, const std::shared_ptr<platform::AudioNode>& to,
                 const platform::AudioFormat& format) override {
        real_->connect(from, to, format);
    }
    void prepare() override { real_->prepare(); }
    std::optional<platform::PlatformError> start() override { return real_->start(); }
    void stop() override { real_->stop(); }

private:
    const std::shared_ptr<platform::AudioEngine> real_;
    const std::shared_ptr<BypassedInputNode> input_;
};

// Forwards everything to the real platform; its engines bypass voice processing. Observers
// registered for a wrapper engine are registered for the real one, which is what posts.
class BypassingPlatform final : public platform::AudioPlatform, private platform::NotificationCenter {
public:
    explicit BypassingPlatform(std::shared_ptr<platform::AudioPlatform> real) : real_(std::move(real)) {}

    platform::OSStatus getPropertyData(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                       uint32_t qualifierSize, const void* qualifier, uint32_t& dataSize,
                                       void* data) override {
        return real_->getPropertyData(object, address, qualifierSize, qualifier, dataSize, data);
    }
    std::shared_ptr<platform::AudioEngine> makeEngine() override {
        auto real = real_->makeEngine();
        if (!real) return nullptr;
        auto wrapper = std::make_shared<BypassingEngine>(std::move(real));
        std::lock_guard<std::mutex> hold(mutex_);
        realEngines_[wrapper.get()] = wrapper->real();
        return wrapper;
    }
    std::shared_ptr<platform::PlayerNode> makePlayerNode() override { return real_->makePlayerNode(); }
    std::shared_ptr<const platform::AudioFormat> makeStandardFormat(double sampleRate, uint32_t channels) override {
        return real_->makeStandardFormat(sampleRate, channels);
    }
    std::shared_ptr<platform::PCMBuffer> makePCMBuffer(const platform::AudioFormat& format,
                                                       uint32_t frameCapacity) override {
        return real_->makePCMBuffer(format, frameCapacity);
    }
    std::shared_ptr<platform::AudioConverter> makeConverter(const platform::AudioFormat& from,
                                                            const platform::AudioFormat& to) override {
        return real_->makeConverter(from, to);
    }
    platform::NotificationCenter& notificationCenter() override { return *this; }

private:
    std::shared_ptr<platform::ObserverToken> addObserver(std::string_view name, const void* object,
                                                         std::function<void()> block) override {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (auto found = realEngines_.find(object); found != realEngines_.end()) object = found->second;
        }
        return real_->notificationCenter().addObserver(name, object, std::move(block));
    }
    void removeObserver(const std::shared_ptr<platform::ObserverToken>& token) override {
        real_->notificationCenter().removeObserver(token);
    }

    const std::shared_ptr<platform::AudioPlatform> real_;
    std::mutex mutex_;
    std::map<const void*, const void*> realEngines_;
};
}  // namespace mivo::testing
