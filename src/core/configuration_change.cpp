#include "core/voice_io.h"

namespace mivo::core {

void VoiceIO::handleConfigurationChange() {
    {
        ConditionLock hold(stateCondition_);
        if (!running_) return;
        running_ = false;
        ++generation_;
        queuedPlaybackFrames_ = 0;
        stateCondition_.broadcast();
    }
    setLastError("The macOS audio device configuration changed");
    captureRing_.endStream(true);
}

}  // namespace mivo::core
