#pragma once

// Where in the echo stream the echo must go for it to reach the microphone exactly as late as
// the room says, measured the way every other client would: the loudspeaker's and the
// microphone's monitors lined up on the server's clock.
//
// The echo stream is a playback stream, whose timing the server reports in other terms than a
// monitor's; one test burst, written into the echo stream and found again in the microphone,
// ties the two together once. After that the playback stream's own timing keeps the echo in
// place (the server stops that stream's clock while it runs dry).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mivo::room {

class EchoPlacement {
public:
    // `processing`: the echo path's own latency, in samples.
    EchoPlacement(double rate, double delayMs, double processing);

    // One look at the three streams at one moment, in samples: the echo stream's play position
    // minus the loudspeaker monitor's, and the microphone monitor's minus the loudspeaker's.
    // True once the last looks agree (right after streams start the server is still settling).
    bool look(double echoMinusLoudspeaker, double microphoneMinusLoudspeaker);
    void forgetLooks();

    // The burst began at echo-stream sample `written` and was heard at microphone sample `heard`.
    void tieBurst(int64_t written, int64_t heard);
    bool tied() const { return tied_; }

    // Output sample j must carry input sample j - offset(), when output sample j is written as
    // input sample j - `ahead` arrives. Uses the latest agreeing looks.
    int64_t offset(int64_t ahead) const;
    // The delay that offset() gives, and the least this server allows, in ms.
    double delayMs(int64_t ahead) const;
    double floorMs(int64_t ahead) const;

private:
    double centre(const std::vector<double>& values) const;

    const double rate_;
    const double delay_;  // samples
    const double processing_;  // samples
    std::vector<double> echoLooks_;
    std::vector<double> microphoneLooks_;
    double bias_ = 0.0;   // offset in monitor terms minus offset in echo-stream terms
    bool tied_ = false;
};

}  // namespace mivo::room
