#include "echo_placement.h"

#include <algorithm>
#include <cmath>

namespace mivo::room {

namespace {
// The servers deliver in blocks, so every look is off by where it falls within a block; looks
// at phases spread over the block (see the look interval) and averaged cancel that out. Right
// after streams start the server is still settling, by far more than a block.
constexpr size_t agreeingLooks = 25;
constexpr double agreement = 480.0;  // samples: 10 ms

double spread(const std::vector<double>& values) {
    const auto [least, most] = std::minmax_element(values.begin(), values.end());
    return *most - *least;
}
}  // namespace

EchoPlacement::EchoPlacement(double rate, double delayMs, double processing)
    : rate_(rate), delay_(delayMs * rate / 1000.0), processing_(processing) {}

bool EchoPlacement::look(double echoMinusLoudspeaker, double microphoneMinusLoudspeaker) {
    echoLooks_.push_back(echoMinusLoudspeaker);
    microphoneLooks_.push_back(microphoneMinusLoudspeaker);
    if (echoLooks_.size() > agreeingLooks) {
        echoLooks_.erase(echoLooks_.begin());
        microphoneLooks_.erase(microphoneLooks_.begin());
    }
    return echoLooks_.size() == agreeingLooks && spread(echoLooks_) <= agreement &&
           spread(microphoneLooks_) <= agreement;
}

void EchoPlacement::forgetLooks() {
    echoLooks_.clear();
    microphoneLooks_.clear();
}

// The mean of the middle 80 %.
double EchoPlacement::centre(const std::vector<double>& values) const {
    if (values.empty()) return 0.0;
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const size_t cut = sorted.size() / 10;
    double sum = 0.0;
    for (size_t i = cut; i < sorted.size() - cut; ++i) sum += sorted[i];
    return sum / static_cast<double>(sorted.size() - 2 * cut);
}

// Microphone sample m and loudspeaker sample k are heard together when m = k + microphone;
// echo-stream sample j is heard as microphone sample j + heard - written. An echo `delay` late
// of loudspeaker sample k is therefore echo-stream sample k + microphone + delay + written - heard.
void EchoPlacement::tieBurst(int64_t written, int64_t heard) {
    const double inMonitorTerms = centre(microphoneLooks_) + static_cast<double>(written - heard);
    bias_ = inMonitorTerms - centre(echoLooks_);
    tied_ = true;
}

// An output cannot carry an input that has not arrived, nor one still inside the path.
int64_t EchoPlacement::offset(int64_t ahead) const {
    const double least = static_cast<double>(ahead) + processing_ + 1.0;
    return std::llround(std::max(centre(echoLooks_) + bias_ + delay_, least));
}

double EchoPlacement::delayMs(int64_t ahead) const {
    return (static_cast<double>(offset(ahead)) - centre(echoLooks_) - bias_) * 1000.0 / rate_;
}

double EchoPlacement::floorMs(int64_t ahead) const {
    const double least = static_cast<double>(ahead) + processing_ + 1.0;
    return (least - centre(echoLooks_) - bias_) * 1000.0 / rate_;
}

}  // namespace mivo::room
