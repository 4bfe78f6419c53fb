#include "platform/audio_platform.h"


namespace mivo::platform {

namespace {

// Until a real audio system is wired in, there are no devices: a start fails cleanly.
class NoDevicePlatform final : public AudioPlatform, private NotificationCenter {
public:
    OSStatus getPropertyData(AudioObjectID, const PropertyAddress&, uint32_t, const void*, uint32_t&,
                             void*) override {
        return -1;
    }
    std::shared_ptr<AudioEngine> makeEngine() override { return nullptr; }
    std::shared_ptr<PlayerNode> makePlayerNode() override { return nullptr; }
    std::shared_ptr<const AudioFormat> makeFormat(CommonFormat commonFormat, double sampleRate,
                                                  uint32_t channels, bool interleaved) override {
        return std::make_shared<const AudioFormat>(AudioFormat{commonFormat, sampleRate, channels, interleaved});
    }
    std::shared_ptr<const AudioFormat> makeStandardFormat(double sampleRate, uint32_t channels) override {
        return std::make_shared<const AudioFormat>(standardFormat(sampleRate, channels));
    }
    std::shared_ptr<PCMBuffer> makePCMBuffer(const AudioFormat& format, uint32_t frameCapacity) override {
        return OwnedPCMBuffer::make(format, frameCapacity);
    }
    std::shared_ptr<AudioConverter> makeConverter(const AudioFormat&, const AudioFormat&) override {
        return nullptr;
    }
    NotificationCenter& notificationCenter() override { return *this; }

private:
    std::shared_ptr<ObserverToken> addObserver(std::string_view, const void*, std::function<void()>) override {
        return std::make_shared<ObserverToken>();
    }
    void removeObserver(const std::shared_ptr<ObserverToken>&) override {}
};

}  // namespace

std::shared_ptr<AudioPlatform> defaultAudioPlatform() {
    static const std::shared_ptr<AudioPlatform> platform = std::make_shared<NoDevicePlatform>();
    return platform;
}

}  // namespace mivo::platform
