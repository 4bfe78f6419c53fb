#include "session.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace mivo::offline {

namespace {

std::vector<float> readFloats(const std::string& path, std::string& problem) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        problem = "cannot read " + path;
        return {};
    }
    const auto bytes = static_cast<size_t>(file.tellg());
    std::vector<float> samples(bytes / sizeof(float));
    file.seekg(0);
    file.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size() * sizeof(float)));
    return samples;
}

}  // namespace

Session readSession(const std::string& prefix, std::string& problem) {
    Session session;
    session.render = readFloats(prefix + ".render.f32", problem);
    session.capture48 = readFloats(prefix + ".capture48.f32", problem);
    session.capture16 = readFloats(prefix + ".capture16.f32", problem);
    std::ifstream lines(prefix + ".events");
    if (!lines) problem = "cannot read " + prefix + ".events";
    if (!problem.empty()) return {};
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        std::istringstream fields(line);
        char kind = 0;
        fields >> kind;
        Event event;
        switch (kind) {
            case 'R': event.kind = Event::Kind::render; break;
            case 'C': {
                int known = 1;
                event.kind = Event::Kind::capture;
                fields >> event.delayMicroseconds >> event.renderLeadMicroseconds >> known >> event.trueLagSamples;
                event.timingKnown = known != 0;
                break;
            }
            case 'U': event.kind = Event::Kind::underflow; break;
            case 'P': event.kind = Event::Kind::dropped; break;
            case 'L': event.kind = Event::Kind::captureLost; break;
            case 'X': event.kind = Event::Kind::deviceChange; break;
            default: problem = "bad event line: " + line; return {};
        }
        session.events.push_back(event);
    }
    return session;
}

}  // namespace mivo::offline
