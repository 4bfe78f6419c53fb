// Runs one echo-cancelling variant over a recorded or simulated session, frame by frame in the
// order the engine hands frames over, and writes its 16 kHz output and what it cost.
//
//   mivo-echo-offline SESSION_PREFIX VARIANT "OPTIONS" OUTPUT.f32 [REPORT.txt]
//
// The session files are written by rooms.py (see README.md next to this file).
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "session.h"
#include "variants.h"

namespace {

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace mivo::offline;
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SESSION_PREFIX VARIANT OPTIONS OUTPUT.f32 [REPORT.txt]\n", argv[0]);
        return 2;
    }
    std::string problem;
    const Session session = readSession(argv[1], problem);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    auto variant = makeVariant(argv[2], argv[3], problem);
    if (!variant) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    std::vector<float> output;
    output.reserve(session.capture16.size() + voiceFrame);
    size_t rendered = 0;
    size_t captured = 0;
    std::vector<float> silence48(renderFrame, 0.0f);
    double cpu = 0.0;
    for (const Event& event : session.events) {
        const double before = threadSeconds();
        if (event.kind == Event::Kind::render) {
            const bool have = (rendered + 1) * renderFrame <= session.render.size();
            variant->render(have ? session.render.data() + rendered * renderFrame : silence48.data());
            ++rendered;
        } else if (event.kind == Event::Kind::capture) {
            if ((captured + 1) * renderFrame > session.capture48.size() ||
                (captured + 1) * voiceFrame > session.capture16.size()) {
                break;
            }
            variant->capture(session.capture48.data() + captured * renderFrame,
                             session.capture16.data() + captured * voiceFrame, event, output);
            ++captured;
        } else {
            variant->discontinuity(event.kind);
        }
        cpu += threadSeconds() - before;
    }
    std::ofstream out(argv[4], std::ios::binary);
    out.write(reinterpret_cast<const char*>(output.data()), static_cast<std::streamsize>(output.size() * sizeof(float)));
    // CPU per second of audio, in ms: what the variant costs the engine's thread.
    std::printf("frames %zu render %zu cpu_ms_per_s %.3f\n", captured, rendered,
                captured ? cpu * 1000.0 / (static_cast<double>(captured) / 100.0) : 0.0);
    if (argc > 5) {
        std::ofstream report(argv[5]);
        report << variant->report();
    }
    return 0;
}
