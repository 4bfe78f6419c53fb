#include <cmath>
#include <cstdio>
#include <string>

#include "mivo_duplex/check/check_report.h"

namespace mivo::duplex::check {

namespace {

std::string format(const char* pattern, double a, double b = 0.0) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// Why cancellation is weak, from what the echo path showed.
std::string likelyCause(const EchoPath& path) {
    if (path.changed) return "the echo path changed during the check: keep the devices still and run it again";
    if (std::abs(path.driftPpm) > 100.0)
        return format("the loudspeaker and the microphone run on clocks %.0f ppm apart: use one device for both",
                      std::abs(path.driftPpm));
    if (path.levelDb > -3.0) return "the echo is as loud as what is played: turn the loudspeaker down or move it away";
    if (path.rt60Seconds > 0.3)
        return format("the room is reverberant (RT60 %.2f s): place the microphone closer to you than to the "
                      "loudspeaker", path.rt60Seconds);
    return "run the check again; if it stays, attach its --json output to a bug report";
}

void judgePath(const CheckReport& report, std::vector<Finding>& findings) {
    const EchoPath& path = report.path;
    if (!path.heard) {
        findings.push_back({"no_echo", false,
                            "the microphone does not hear the loudspeaker: there is no echo to cancel (headphones?)"});
        return;
    }
    if (path.delayMs > cancellerReachMs) {
        findings.push_back({"long_delay", true,
                            format("echo delay %.0f ms is beyond what the canceller covers (%.0f ms): use a wired "
                                   "speaker", path.delayMs, cancellerReachMs)});
    } else if (path.delayMs > 150.0) {
        findings.push_back({"long_delay", false,
                            format("echo delay %.0f ms is long, as from a wireless speaker: the canceller covers up "
                                   "to %.0f ms, a wired speaker leaves more room", path.delayMs, cancellerReachMs)});
    }
    if (std::abs(path.driftPpm) > 50.0)
        findings.push_back({"clock_drift", false,
                            format("the loudspeaker's and the microphone's clocks differ by %.0f ppm (two devices): "
                                   "the canceller has to follow the echo as it moves", path.driftPpm)});
    if (path.changed)
        findings.push_back({"path_change", false,
                            format("the echo path moved during the check: delay %.0f ms, then %.0f ms", path.delayMs,
                                   path.changedDelayMs)});
}

void judgeCapture(const CheckReport& report, std::vector<Finding>& findings) {
    const CaptureChain& chain = report.chain;
    if (chain.clippedSamples > 0) {
        // Aim the loudest moment at -3 dBFS; a microphone that stops at full scale hides how far
        // over it went, so ask for at least 6 dB.
        const double lower = chain.peakDbfs > 0.05 ? std::ceil(chain.peakDbfs + 3.0) : 6.0;
        findings.push_back({"clipping", true,
                            format("the microphone clips at this volume: lower it by %.0f dB", lower)});
    }
    if (chain.noiseFloorDbfs > -50.0)
        findings.push_back({"noise", false,
                            format("the microphone is noisy (noise floor %.0f dBFS): the canceller cannot remove "
                                   "noise, lower the gain or move away from the source", chain.noiseFloorDbfs)});
}

void judgeCancellation(const CheckReport& report, std::vector<Finding>& findings) {
    const Cancellation& c = report.cancellation;
    if (report.path.heard && c.judged) {
        if (c.erleMedianDb < workingErleDb) {
            findings.push_back({"weak_cancellation", true,
                                format("the library removes only %.1f dB of echo: ", c.erleMedianDb) +
                                    likelyCause(report.path)});
        } else if (c.erleLowestDb < workingErleDb / 2) {
            findings.push_back({"cancellation_drops", true,
                                format("cancellation drops to %.1f dB in some second (median %.1f dB): ",
                                       c.erleLowestDb, c.erleMedianDb) +
                                    likelyCause(report.path)});
        }
    }
    if (c.doubleTalk && !c.nearHeard)
        findings.push_back({"near_end_unheard", false,
                            "nobody was heard in the double-talk window: the near-end level was not measured"});
    if (c.doubleTalk && c.nearHeard && c.nearKeptDb < -6.0)
        findings.push_back({"near_end_loss", true,
                            format("your voice loses %.1f dB while the loudspeaker plays: the far end hears you "
                                   "faintly when both talk", -c.nearKeptDb)});
}

}  // namespace

std::vector<Finding> judge(const CheckReport& report) {
    std::vector<Finding> findings;
    const std::string& onPath = !report.survey.source.canceller.empty() ? report.survey.source.canceller
                                                                         : report.survey.sink.canceller;
    if (!onPath.empty())
        findings.push_back({"stacked_canceller", true,
                            "a server-side canceller is on this microphone (" + onPath +
                                "): ours is stacked on it; unload it or make " + report.survey.rawMicrophone +
                                " the default source"});
    for (const std::string& other : report.survey.cancellersElsewhere)
        findings.push_back({"canceller_elsewhere", false,
                            "a server-side canceller is loaded (" + other + ") but not on the devices in use"});
    judgePath(report, findings);
    judgeCapture(report, findings);
    judgeCancellation(report, findings);
    return findings;
}

bool needsUser(const std::vector<Finding>& findings) {
    for (const Finding& finding : findings)
        if (finding.needsUser) return true;
    return false;
}

std::string verdictLine(const std::vector<Finding>& findings) {
    return needsUser(findings) ? "a finding needs you" : "cancellation is working";
}

}  // namespace mivo::duplex::check
