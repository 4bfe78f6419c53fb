#include "mivo_duplex/check/speech_signals.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "mivo_duplex/wav_files.h"

namespace mivo::duplex::check {

namespace {

const char* const farText =
    "Good morning. This is the far end of the call, speaking through your loudspeaker. Everything I say comes "
    "back into your microphone a moment later, and the library has to take it out again before your program "
    "hears it. Let me keep talking for a while so that you can see the echo disappear.";
const char* const nearText = "Hello, this is the person in the room, talking over the far end.";

// Heard clearly, not loud: speech peaks 9 dB below full scale.
constexpr double peakLevel = 0.355;

bool speak(const std::string& voice, const char* text, const std::string& path) {
    const pid_t child = fork();
    if (child == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) dup2(quiet, 1);
        execlp("espeak-ng", "espeak-ng", "-v", voice.c_str(), "-s", "150", "-w", path.c_str(), text, nullptr);
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double gainToPeak(const std::vector<float>& samples, double peak) {
    float highest = 0.0f;
    for (float s : samples) highest = std::max(highest, std::abs(s));
    return highest > 0.0f ? peak / highest : 1.0;
}

}  // namespace

bool speakTalkers(double farSeconds, Talkers& talkers, std::string& failure) {
    char pattern[] = "/tmp/mivo-check-XXXXXX";
    if (!mkdtemp(pattern)) {
        failure = "cannot make a temporary folder for the test speech";
        return false;
    }
    const std::string folder = pattern;
    const std::string farPath = folder + "/far.wav", nearPath = folder + "/near.wav";
    double farGain = 1.0, nearGain = 1.0;
    const bool spoken = speak("en-us+m3", farText, farPath) && speak("en+f3", nearText, nearPath);
    try {
        if (spoken) {
            const std::vector<int16_t> once = readAsPlaybackFrames(farPath);
            const auto wanted = static_cast<size_t>(farSeconds * 48000.0);
            while (!once.empty() && talkers.farEnd.size() < wanted)
                talkers.farEnd.insert(talkers.farEnd.end(), once.begin(), once.end());
            talkers.farEnd.resize(std::min(talkers.farEnd.size(), wanted));
            for (int16_t s : readAsPlaybackFrames(nearPath)) talkers.nearEnd.push_back(static_cast<float>(s) / 32768.0f);
            std::vector<float> far(once.size());
            std::transform(once.begin(), once.end(), far.begin(), [](int16_t s) { return s / 32768.0f; });
            farGain = gainToPeak(far, peakLevel);
            nearGain = gainToPeak(talkers.nearEnd, peakLevel);
        }
    } catch (const std::exception& error) {
        failure = error.what();
    }
    std::filesystem::remove_all(folder);
    if (!spoken) failure = "espeak-ng could not speak the test signal (is it installed?)";
    if (talkers.farEnd.empty() || talkers.nearEnd.empty()) {
        if (failure.empty()) failure = "espeak-ng gave no speech";
        return false;
    }
    for (int16_t& s : talkers.farEnd) s = static_cast<int16_t>(std::lround(s * farGain));
    for (float& s : talkers.nearEnd) s = static_cast<float>(s * nearGain);
    return true;
}

}  // namespace mivo::duplex::check
