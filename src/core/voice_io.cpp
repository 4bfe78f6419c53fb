#include "core/voice_io.h"

#include "base/error_texts.h"

namespace mivo::core {

VoiceIO::VoiceIO(std::shared_ptr<platform::AudioPlatform> platform)
    : platform_(std::move(platform)), capture_(*platform_, lastError_), playback_(*platform_, lastError_) {}

VoiceIO::~VoiceIO() { stop(); }

void VoiceIO::removeConfigurationObserver() {
    if (!configurationObserver_) return;
    platform_->notificationCenter().removeObserver(configurationObserver_);
    configurationObserver_.reset();
}

void VoiceIO::tearDownGraph() {
    if (auto engine = engine_.load(); engine && tapInstalled_) {
        engine->inputNode()->removeTapOnBus(0);
        tapInstalled_ = false;
    }
    playback_.stopPlayer();
    if (auto engine = engine_.load()) engine->stop();
    playback_.releasePlayer();
    engine_.reset();
    capture_.releaseConverter();
}

void VoiceIO::stop() {
    removeConfigurationObserver();
    playback_.endRun();
    tearDownGraph();
    captureRing().endStream(false);
}

// Tears nothing down: the engine objects stay until the next stop or start.
void VoiceIO::handleConfigurationChange() {
    if (!playback_.endRunIfRunning()) return;
    setLastError(base::texts::configurationChanged);
    captureRing().endStream(true);
}

}  // namespace mivo::core
