#include "mivo_duplex/check/check_report.h"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace mivo::duplex::check {

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// JSON has no NaN: what was not measured is null.
std::string number(double value, int decimals = 1) {
    if (!std::isfinite(value)) return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string device(const DeviceInfo& d) {
    return "{\"name\": " + quoted(d.name) + ", \"description\": " + quoted(d.description) +
           ", \"rate\": " + std::to_string(d.rate) + ", \"channels\": " + std::to_string(d.channels) +
           ", \"canceller\": " + (d.canceller.empty() ? "null" : quoted(d.canceller)) + "}";
}

std::string deviceLine(const char* what, const DeviceInfo& d) {
    char text[512];
    std::snprintf(text, sizeof text, "  %-11s %s (%s), %u Hz, %u channel%s%s\n", what, d.name.c_str(),
                  d.description.c_str(), d.rate, d.channels, d.channels == 1 ? "" : "s",
                  d.canceller.empty() ? "" : ", an echo canceller");
    return text;
}

std::string erleRow(const std::vector<double>& perSecond) {
    std::string row;
    char cell[16];
    for (double erle : perSecond) {
        if (std::isnan(erle)) {
            row += "    -";
            continue;
        }
        std::snprintf(cell, sizeof cell, " %4.0f", erle);
        row += cell;
    }
    return row;
}

}  // namespace

std::string textReport(const CheckReport& r) {
    std::ostringstream out;
    char line[512];
    out << "Server: " << r.survey.server << (r.room.empty() ? "" : " (private, virtual room " + r.room + ")") << "\n";
    out << deviceLine("loudspeaker", r.survey.sink) << deviceLine("microphone", r.survey.source);
    if (r.survey.rawMicrophone != r.survey.source.name) out << "  measured on " << r.survey.rawMicrophone << " underneath\n";
    const EchoPath& p = r.path;
    if (p.heard) {
        std::snprintf(line, sizeof line,
                      "Echo path: delay %.1f ms, level %.1f dB against what was played, RT60 %s s, drift %.0f ppm\n",
                      p.delayMs, p.levelDb, p.rt60Seconds < 0 ? "unknown" : number(p.rt60Seconds, 2).c_str(),
                      p.driftPpm);
        out << line;
    } else {
        out << "Echo path: the microphone did not hear the loudspeaker\n";
    }
    const CaptureChain& c = r.chain;
    std::snprintf(line, sizeof line,
                  "Capture: noise floor %.1f dBFS, highest level %.1f dBFS, %lld clipped samples, latency added "
                  "over a plain client %s ms\n",
                  c.noiseFloorDbfs, c.peakDbfs, static_cast<long long>(c.clippedSamples),
                  c.latencyKnown ? number(c.latencyAddedMs).c_str() : "unknown");
    out << line;
    const Cancellation& k = r.cancellation;
    out << "ERLE per second (dB):" << erleRow(k.erlePerSecond) << "\n";
    if (k.judged) {
        std::snprintf(line, sizeof line, "ERLE after %.0f s: median %.1f dB, lowest %.1f dB\n", settleSeconds,
                      k.erleMedianDb, k.erleLowestDb);
        out << line;
    }
    if (k.doubleTalk)
        out << "Near end in double talk: "
            << (k.nearHeard ? "level kept " + number(k.nearKeptDb) + " dB" : std::string("nobody heard")) << "\n";
    if (!r.picture.empty()) out << "Picture: " << r.picture << "\n";
    out << "Verdict:\n";
    for (const Finding& f : r.findings) out << (f.needsUser ? "  ! " : "  - ") << f.text << "\n";
    out << "  " << verdictLine(r.findings) << "\n";
    return out.str();
}

std::string jsonReport(const CheckReport& r) {
    std::ostringstream out;
    const ServerSurvey& s = r.survey;
    out << "{\"server\": {\"name\": " << quoted(s.server) << ", \"sink\": " << device(s.sink)
        << ", \"source\": " << device(s.source) << ", \"speaker_monitor\": " << quoted(s.speakerMonitor)
        << ", \"raw_microphone\": " << quoted(s.rawMicrophone) << ", \"cancellers_elsewhere\": [";
    for (size_t i = 0; i < s.cancellersElsewhere.size(); ++i) out << (i ? ", " : "") << quoted(s.cancellersElsewhere[i]);
    out << "]},\n \"room\": " << (r.room.empty() ? "null" : quoted(r.room)) << ", \"room_state\": "
        << (r.roomState.empty() ? "null" : quoted(r.roomState)) << ",\n";
    const EchoPath& p = r.path;
    const double unknown = std::nan("");
    out << " \"echo_path\": {\"heard\": " << (p.heard ? "true" : "false")
        << ", \"delay_ms\": " << number(p.heard ? p.delayMs : unknown, 2)
        << ", \"level_db\": " << number(p.heard ? p.levelDb : unknown, 2)
        << ", \"strongest_ms\": " << number(p.heard ? p.strongestMs : unknown, 2)
        << ", \"rt60_s\": " << number(p.heard && p.rt60Seconds >= 0 ? p.rt60Seconds : unknown, 3)
        << ", \"drift_ppm\": " << number(p.heard ? p.driftPpm : unknown, 1)
        << ", \"changed\": " << (p.changed ? "true" : "false")
        << ", \"changed_delay_ms\": " << number(p.changed ? p.changedDelayMs : unknown, 2) << "},\n";
    const CaptureChain& c = r.chain;
    out << " \"capture\": {\"noise_floor_dbfs\": " << number(c.noiseFloorDbfs) << ", \"peak_dbfs\": "
        << number(c.peakDbfs, 2) << ", \"clipped_samples\": " << c.clippedSamples
        << ", \"latency_added_ms\": " << number(c.latencyKnown ? c.latencyAddedMs : unknown) << "},\n";
    const Cancellation& k = r.cancellation;
    out << " \"cancellation\": {\"erle_per_second\": [";
    for (size_t i = 0; i < k.erlePerSecond.size(); ++i) out << (i ? ", " : "") << number(k.erlePerSecond[i]);
    out << "], \"erle_median_db\": " << number(k.judged ? k.erleMedianDb : unknown)
        << ", \"erle_lowest_db\": " << number(k.judged ? k.erleLowestDb : unknown)
        << ", \"double_talk\": " << (k.doubleTalk ? "true" : "false")
        << ", \"near_kept_db\": " << number(k.nearHeard ? k.nearKeptDb : unknown) << "},\n";
    out << " \"findings\": [";
    for (size_t i = 0; i < r.findings.size(); ++i) {
        const Finding& f = r.findings[i];
        out << (i ? ",\n   " : "\n   ") << "{\"kind\": " << quoted(f.kind) << ", \"needs_user\": "
            << (f.needsUser ? "true" : "false") << ", \"text\": " << quoted(f.text) << "}";
    }
    out << "],\n \"verdict\": " << quoted(verdictLine(r.findings)) << ", \"picture\": "
        << (r.picture.empty() ? "null" : quoted(r.picture)) << ", \"exit_status\": " << (needsUser(r.findings) ? 1 : 0)
        << "}\n";
    return out.str();
}

std::string jsonFailure(const std::string& reason) {
    return "{\"verdict\": \"the check could not run\", \"reason\": " + quoted(reason) + ", \"exit_status\": 2}\n";
}

}  // namespace mivo::duplex::check
