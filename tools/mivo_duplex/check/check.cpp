#include "mivo_duplex/check/check.h"

#include <cmath>
#include <cstdint>
#include <utility>
#include <cstdio>
#include <optional>

#include "mivo_duplex/check/check_report.h"
#include "mivo_duplex/check/erle_picture.h"
#include "mivo_duplex/check/private_room.h"

namespace mivo::duplex::check {

namespace {

int cannotRun(const CheckOptions& options, const std::string& reason) {
    if (options.json) std::fputs(jsonFailure(reason).c_str(), stdout);
    std::fprintf(stderr, "mivo-duplex --check: the check could not run: %s\n", reason.c_str());
    return 2;
}

// Loudspeaker sample i and microphone sample i heard together, on the server's clock.
AlignedSignals align(const RecordedPair& pair) {
    AlignedSignals aligned;
    const long offset = std::lround(pair.offset);
    const long first = std::max(0L, -offset);
    const long frames = std::min(static_cast<long>(pair.speaker.size()) - first,
                                 static_cast<long>(pair.microphone.size()) - first - offset);
    if (frames <= 0) return aligned;
    aligned.speaker.assign(pair.speaker.begin() + first, pair.speaker.begin() + first + frames);
    aligned.microphone.assign(pair.microphone.begin() + first + offset,
                              pair.microphone.begin() + first + offset + frames);
    aligned.microphoneStart = static_cast<size_t>(first + offset);
    return aligned;
}

// Interleaved float pairs, loudspeaker then microphone: what a bug report or a second opinion
// on the echo path needs.
void saveRecording(const AlignedSignals& aligned, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::fprintf(stderr, "mivo-duplex --check: cannot write %s\n", path.c_str());
        return;
    }
    for (size_t i = 0; i < aligned.speaker.size(); ++i) {
        const float pair[2] = {aligned.speaker[i], aligned.microphone[i]};
        std::fwrite(pair, sizeof pair, 1, file);
    }
    std::fclose(file);
}

// Where the near-end talker (and the room's tail of it) lies in the lined-up signals.
std::pair<size_t, size_t> talkSpan(const SessionRecording& recording, const AlignedSignals& aligned) {
    if (recording.nearEnd <= recording.nearStart) return {SIZE_MAX, SIZE_MAX};
    const Clock::time_point epoch = deliveryEpoch(recording.raw.microphoneDeliveries, PlainRecorder::rate);
    const auto at = [&](Clock::time_point t, double margin) {
        const double raw = (std::chrono::duration<double>(t - epoch).count() + margin) * PlainRecorder::rate;
        return static_cast<size_t>(std::max(0.0, raw - static_cast<double>(aligned.microphoneStart)));
    };
    return {at(recording.nearStart, -0.2), at(recording.nearEnd, 1.0)};
}

}  // namespace

int runCheck(const CheckOptions& options) {
    std::string failure;
    std::optional<PrivateRoom> room;
    CheckReport report;
    report.room = options.room;
    if (!options.room.empty()) {
        room.emplace();
        if (!room->start(options.room, options.roomsFile, options.serverCanceller, failure))
            return cannotRun(options, failure);
        report.roomState = room->state();
    }
    if (!surveyServer(report.survey, failure)) return cannotRun(options, failure);
    Talkers talkers;
    if (!speakTalkers(SessionTimes::farEnd, talkers, failure)) return cannotRun(options, failure);

    SessionPlan plan{report.survey.speakerMonitor, report.survey.rawMicrophone,
                     room ? PrivateRoom::talkerDevice() : "", !options.quietRoom};
    if (!options.json)
        std::fprintf(stderr, "Checking: %.0f s of speech through %s; keep quiet until asked to speak...\n",
                     SessionTimes::farEnd, report.survey.sink.name.c_str());
    SessionRecording recording;
    if (!recordSession(plan, talkers, recording, failure)) return cannotRun(options, failure);

    const AlignedSignals aligned = align(recording.raw);
    if (!options.recordingPath.empty()) saveRecording(aligned, options.recordingPath);
    report.chain = measureCaptureChain(recording);
    const auto [talkBegin, talkEnd] = talkSpan(recording, aligned);
    report.path = measureEchoPath(aligned, talkBegin, talkEnd);
    report.cancellation = measureCancellation(recording, report.chain, aligned, report.path);
    report.findings = judge(report);
    if (!options.picturePath.empty() && drawErlePicture(report, options.picturePath)) report.picture = options.picturePath;
    std::fputs((options.json ? jsonReport(report) : textReport(report)).c_str(), stdout);
    return needsUser(report.findings) ? 1 : 0;
}

}  // namespace mivo::duplex::check
