#include "core/voice_io.h"

#include "base/attempt.h"
#include "base/error_texts.h"

namespace mivo::core {

using base::attempt;

VoiceIO::VoiceIO(std::shared_ptr<platform::AudioPlatform> platform)
    : platform_(std::move(platform)), capture_(*platform_, lastError_), playback_(*platform_, lastError_) {}

VoiceIO::~VoiceIO() { stop(); }

void VoiceIO::removeConfigurationObserver() noexcept {
    const std::shared_ptr<platform::ObserverToken> token = std::move(configurationObserver_);
    if (token) attempt([&] { platform_->notificationCenter().removeObserver(token); });
}

void VoiceIO::tearDownGraph() noexcept {
    const std::shared_ptr<platform::AudioEngine> engine = engine_.load();
    if (engine && tapInstalled_) attempt([&] { engine->inputNode()->removeTapOnBus(0); });
    tapInstalled_ = false;
    playback_.stopPlayer();
    if (engine) attempt([&] { engine->stop(); });
    playback_.releasePlayer();
    engine_.reset();
    capture_.releaseConverter();
}

void VoiceIO::stop() noexcept {
    removeConfigurationObserver();
    playback_.endRun();
    tearDownGraph();
    captureRing().endStream(false);
}

// Tears nothing down: the engine objects stay until the next stop or start.
void VoiceIO::handleConfigurationChange() noexcept {
    if (!playback_.endRunIfRunning()) return;
    setLastError(base::texts::configurationChanged);
    captureRing().endStream(true);
}

}  // namespace mivo::core
