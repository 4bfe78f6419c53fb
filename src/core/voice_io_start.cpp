#include <algorithm>
#include <exception>
#include <string>

#include "base/error_texts.h"
#include "core/voice_io.h"
#include "core/voice_io_error.h"

namespace mivo::core {

using platform::AudioFormat;
using platform::PlatformError;

namespace {

bool hasDevice(platform::AudioPlatform& platform, uint32_t selector) {
    const platform::PropertyAddress address{selector, platform::globalScope, 0};
    uint32_t deviceId = 0;
    uint32_t size = sizeof(deviceId);
    const platform::OSStatus status =
        platform.getPropertyData(platform::systemObject, address, 0, nullptr, size, &deviceId);
    return status == 0 && deviceId != 0;
}

// NaN compares false, so it is not usable either.
bool isUsable(const AudioFormat& format) { return format.sampleRate > 0 && format.channelCount != 0; }

}  // namespace

bool VoiceIO::start() noexcept {
    try {
        if (playback_.isRunning()) return true;
        buildAndStartGraph();
        return true;
    } catch (VoiceIOError error) {
        failStart(description(error));
    } catch (const PlatformError& error) {
        failStart(error.description);
    } catch (const std::exception& error) {
        failStart(error.what());
    } catch (...) {
        failStart("Unknown error");
    }
    return false;
}

void VoiceIO::failStart(std::string_view reason) noexcept {
    lastError_.set(base::texts::startFailure, reason);
    stop();
}

void VoiceIO::buildAndStartGraph() {
    // A run ended by a device change still holds its engine, tap, player and observer. Left in
    // place, the old tap would keep writing into the ring reopened below and the old engine would
    // keep running, so take them down first; the counters and the last error stay as they are.
    removeConfigurationObserver();
    tearDownGraph();
    if (!playback_.startControlThread()) throw VoiceIOError::controlThreadUnavailable;

    if (!hasDevice(*platform_, platform::defaultInputDeviceSelector)) throw VoiceIOError::noDefaultAudioDevice;
    if (!hasDevice(*platform_, platform::defaultOutputDeviceSelector)) throw VoiceIOError::noDefaultAudioDevice;

    std::shared_ptr<platform::AudioEngine> engine = platform_->makeEngine();
    std::shared_ptr<platform::PlayerNode> player = platform_->makePlayerNode();
    if (!engine || !player) throw PlatformError{"Unable to create the audio engine"};
    std::shared_ptr<platform::InputNode> input = engine->inputNode();
    std::shared_ptr<platform::OutputNode> output = engine->outputNode();

    if (auto error = input->setVoiceProcessingEnabled(true)) throw *error;
    input->setVoiceProcessingInputMuted(false);
    input->setVoiceProcessingBypassed(false);
    input->setVoiceProcessingAGCEnabled(true);

    const AudioFormat inputFormat = input->outputFormatForBus(0);
    const AudioFormat outputFormat = output->outputFormatForBus(0);
    if (!isUsable(inputFormat)) throw VoiceIOError::invalidInputFormat;
    if (!isUsable(outputFormat)) throw VoiceIOError::invalidOutputFormat;

    engine->attachNode(player);
    std::shared_ptr<platform::MixerNode> mixer = engine->mainMixerNode();
    engine->connect(player, mixer, playbackFormat());
    engine->connect(mixer, output, inputFormat);

    std::shared_ptr<const AudioFormat> monoFormat = platform_->makeStandardFormat(inputFormat.sampleRate, 1);
    if (!monoFormat) throw VoiceIOError::converterCreationFailed;
    std::shared_ptr<platform::AudioConverter> converter = platform_->makeConverter(*monoFormat, captureFormat());
    if (!converter) throw VoiceIOError::converterCreationFailed;

    installCaptureTap(*input, inputFormat);
    engine_.store(engine);
    playback_.usePlayer(player);
    capture_.useConverter(converter, monoFormat);
    tapInstalled_ = true;

    captureRing().reset();

    engine->prepare();
    if (auto error = engine->start()) throw *error;
    player->play();

    playback_.markRunning();

    configurationObserver_ = platform_->notificationCenter().addObserver(
        platform::engineConfigurationChangeNotification, engine.get(), [weakSelf = weak_from_this()] {
            if (auto self = weakSelf.lock()) self->handleConfigurationChange();
        });
}

void VoiceIO::installCaptureTap(platform::InputNode& input, const AudioFormat& inputFormat) {
    // 10 ms of input; no device reports a rate whose hundredth overflows, but never convert one that does.
    const uint32_t tapSize =
        static_cast<uint32_t>(std::min(std::max(inputFormat.sampleRate / 100.0, 1.0), 4294967295.0));
    input.installTapOnBus(
        0, tapSize, inputFormat,
        [weakSelf = weak_from_this(), scratch = std::make_shared<capture::CaptureScratch>()](
            const platform::PCMBuffer& buffer, const platform::AudioTime&) {
            if (auto self = weakSelf.lock()) self->capture_.processCapture(buffer, *scratch);
        });
}

}  // namespace mivo::core
