#include "variants.h"

#include "platform/pulse/webrtc_config_keys.h"


#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <map>
#include <sstream>

#include "platform/pulse/reference_downsampler.h"
#include "platform/pulse/soxr_converter.h"
#include "baseline/webrtc_voice_processor.h"
#include "platform/pulse/webrtc_voice_processor.h"

// Internals of the canceller that the library exports but does not declare, read for diagnosis.
extern "C" {
int WebRtcAec_system_delay(const struct AecCore* core);
int WebRtcAec_extended_filter_enabled(struct AecCore* core);
int WebRtcAec_delay_agnostic_enabled(struct AecCore* core);
void WebRtcAec_enable_extended_filter(struct AecCore* core, int enable);
void WebRtcAec_enable_delay_agnostic(struct AecCore* core, int enable);
}

namespace mivo::offline {

namespace {

using platform::AudioConverter;
using platform::BorrowedFloatBuffer;
using platform::ConverterInputStatus;
using platform::OwnedPCMBuffer;
using platform::PCMBuffer;
using platform::standardFormat;

// The library's capture path after the voice processor: 48 kHz float to 16 kHz, as the core does.
class Downsampler {
public:
    Downsampler()
        : converter_(platform::pulse::makeSoxrConverter(standardFormat(renderRate, 1), standardFormat(voiceRate, 1))),
          output_(OwnedPCMBuffer::make(standardFormat(voiceRate, 1), 4 * voiceFrame)) {}

    void convert(float* frame48, std::vector<float>& out) {
        float* channels[] = {frame48};
        BorrowedFloatBuffer input(standardFormat(renderRate, 1), channels, renderFrame);
        bool given = false;
        std::optional<platform::PlatformError> error;
        converter_->convert(*output_, error, [&](uint32_t, ConverterInputStatus& status) -> PCMBuffer* {
            if (given) {
                status = ConverterInputStatus::noDataNow;
                return nullptr;
            }
            given = true;
            status = ConverterInputStatus::haveData;
            return &input;
        });
        const float* produced = output_->floatChannelData()[0];
        out.insert(out.end(), produced, produced + output_->frameLength());
    }

private:
    std::shared_ptr<AudioConverter> converter_;
    std::shared_ptr<OwnedPCMBuffer> output_;
};

// The voice processor as it was before this harness: 48 kHz, the delay the engine reported.
class BaselineVariant final : public Variant {
public:
    explicit BaselineVariant(std::unique_ptr<baseline::WebRtcVoiceProcessor> processor)
        : processor_(std::move(processor)), frame_(renderFrame) {}

    void render(const float* frame48) override {
        const float* channels[] = {frame48};
        processor_->analyzeRender(channels, 1);
    }
    void capture(const float* frame48, const float*, const Event& event, std::vector<float>& out) override {
        std::copy(frame48, frame48 + renderFrame, frame_.begin());
        float* channels[] = {frame_.data()};
        processor_->processCapture(channels, 1, static_cast<int32_t>(event.delayMicroseconds / 1000), true);
        downsampler_.convert(frame_.data(), out);
        if (++frames_ % 100 == 0) {
            const auto metrics = processor_->metrics();
            std::ostringstream line;
            line << frames_ / 100 << " s: canceller ERLE " << metrics.echoReturnLossEnhancementDb << " dB, delay median "
                 << metrics.delayMedianMs << " ms, restarts " << processor_->restarts() << ", placement "
                 << processor_->placementMs() << " ms, lag " << processor_->echoLagMs() << " ms, hint "
                 << event.delayMicroseconds / 1000 << " ms, buffered reference " << lowest_ << ".." << highest_ << "\n";
            report_ += line.str();
            lowest_ = 1 << 30;
            highest_ = -(1 << 30);
        }
        const int buffered = processor_->bufferedReference();
        lowest_ = std::min(lowest_, buffered);
        highest_ = std::max(highest_, buffered);
    }
    void discontinuity(Event::Kind) override { processor_->realign(); }
    std::string report() const override { return report_; }

private:
    std::unique_ptr<baseline::WebRtcVoiceProcessor> processor_;
    std::vector<float> frame_;
    Downsampler downsampler_;
    uint64_t frames_ = 0;
    int lowest_ = 1 << 30;
    int highest_ = -(1 << 30);
    std::string report_;
};

// The library's voice processor, fed as the engine feeds it: 16 kHz capture, the stream timing.
class VoiceVariant final : public Variant {
public:
    explicit VoiceVariant(std::unique_ptr<platform::pulse::WebRtcVoiceProcessor> processor)
        : processor_(std::move(processor)), frame_(voiceFrame) {}

    void render(const float* frame48) override { processor_->analyzeRender(frame48); }
    void capture(const float*, const float* frame16, const Event& event, std::vector<float>& out) override {
        std::copy(frame16, frame16 + voiceFrame, frame_.begin());
        platform::pulse::CaptureTiming timing;
        timing.known = event.timingKnown;
        timing.renderLeadMicroseconds = event.renderLeadMicroseconds;
        processor_->processVoice(frame_.data(), timing, true);
        out.insert(out.end(), frame_.begin(), frame_.end());
        if (++frames_ % 100 == 0) {
            const auto metrics = processor_->metrics();
            std::ostringstream line;
            line << frames_ / 100 << " s: canceller ERLE " << metrics.echoReturnLossEnhancementDb << " dB, delay median "
                 << metrics.delayMedianMs << " ms, room delay "
                 << (metrics.roomDelaySamples ? *metrics.roomDelaySamples : -99999) << " samples, restarts "
                 << processor_->restarts() << "\n";
            report_ += line.str();
        }
    }
    void discontinuity(Event::Kind kind) override {
        using platform::pulse::Discontinuity;
        if (kind == Event::Kind::underflow) processor_->noteDiscontinuity(Discontinuity::renderUnderrun);
        if (kind == Event::Kind::dropped) processor_->noteDiscontinuity(Discontinuity::renderDropped);
        if (kind == Event::Kind::captureLost) processor_->noteDiscontinuity(Discontinuity::captureLost);
    }
    std::string report() const override { return report_; }

private:
    std::unique_ptr<platform::pulse::WebRtcVoiceProcessor> processor_;
    std::vector<float> frame_;
    uint64_t frames_ = 0;
    std::string report_;
};

struct ApmOptions {
    int rate = 16000;
    bool extended = false;
    bool delayAgnostic = false;
    std::string suppression = "moderate";
    std::string noise = "high";
    bool gain = false;
    bool experimentalGain = false;
    bool frozen = false;  // keep the first frame's alignment: drift and moves are not followed
    // With a talker in the output: the suppression asked for; without one, `lonely`.
    std::string lonely;
    int hangover = 30;
    int compressionGainDb = 9;
    bool highPass = true;
    bool voiceDetection = false;
    double placeMs = 10.0;
    int reportedDelayMs = 0;
};

bool parseOptions(const std::string& text, ApmOptions& options, std::string& problem) {
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        const auto equals = word.find('=');
        if (equals == std::string::npos) {
            problem = "option without value: " + word;
            return false;
        }
        const std::string key = word.substr(0, equals);
        const std::string value = word.substr(equals + 1);
        if (key == "rate") options.rate = std::stoi(value);
        else if (key == "ext") options.extended = value == "1";
        else if (key == "da") options.delayAgnostic = value == "1";
        else if (key == "supp") options.suppression = value;
        else if (key == "ns") options.noise = value;
        else if (key == "agc") options.gain = value == "1";
        else if (key == "lonely") options.lonely = value;
        else if (key == "hang") options.hangover = std::stoi(value);
        else if (key == "freeze") options.frozen = value == "1";
        else if (key == "xagc") options.experimentalGain = value == "1";
        else if (key == "cg") options.compressionGainDb = std::stoi(value);
        else if (key == "hpf") options.highPass = value == "1";
        else if (key == "vad") options.voiceDetection = value == "1";
        else if (key == "place") options.placeMs = std::stod(value);
        else if (key == "delay") options.reportedDelayMs = std::stoi(value);
        else {
            problem = "unknown option " + key;
            return false;
        }
    }
    if (options.rate != 16000 && options.rate != 48000) {
        problem = "rate must be 16000 or 48000";
        return false;
    }
    return true;
}

webrtc::EchoCancellation::SuppressionLevel suppressionOf(const std::string& name) {
    if (name == "low") return webrtc::EchoCancellation::kLowSuppression;
    if (name == "high") return webrtc::EchoCancellation::kHighSuppression;
    return webrtc::EchoCancellation::kModerateSuppression;
}

// WebRTC AudioProcessing with one reference frame handed over right before each capture frame,
// taken from where the true echo path puts it: what the canceller does when it is lined up ideally.
class ApmVariant final : public Variant {
public:
    ApmVariant(webrtc::AudioProcessing* apm, ApmOptions options)
        : apm_(apm), options_(options), frame_(options.rate / 100), reference_(options.rate / 100) {}

    void render(const float* frame48) override {
        render48_.insert(render48_.end(), frame48, frame48 + renderFrame);
        float frame16[voiceFrame];
        decimator_.process(frame48, frame16);
        render16_.insert(render16_.end(), frame16, frame16 + voiceFrame);
    }

    void capture(const float* frame48, const float* frame16, const Event& event, std::vector<float>& out) override {
        const bool wide = options_.rate == 48000;
        const size_t length = frame_.size();
        std::copy(wide ? frame48 : frame16, (wide ? frame48 : frame16) + length, frame_.begin());
        // The echo's first arrival in this frame comes from render sample `source`; the reference
        // handed over runs `place` ahead of it, so that the echo lands that far into the filter.
        if (!options_.frozen || captured_ == 0) lag_ = event.trueLagSamples;
        const double source = static_cast<double>(captured_) * renderFrame - lag_;
        const double start48 = source + options_.placeMs * renderRate / 1000.0;
        const std::vector<float>& history = wide ? render48_ : render16_;
        const double start = wide ? start48 : start48 / 3.0 + platform::pulse::ReferenceDownsampler::delay;
        const auto first = static_cast<int64_t>(std::llround(start));
        for (size_t i = 0; i < length; ++i) {
            const int64_t at = first + static_cast<int64_t>(i);
            reference_[i] = at >= 0 && at < static_cast<int64_t>(history.size()) ? history[at] : 0.0f;
            if (at >= static_cast<int64_t>(history.size())) ++late_;
        }
        const webrtc::StreamConfig stream(options_.rate, 1, false);
        const float* referenceChannels[] = {reference_.data()};
        float* referenceOut[] = {reference_.data()};
        apm_->ProcessReverseStream(referenceChannels, stream, stream, referenceOut);
        apm_->set_stream_delay_ms(options_.reportedDelayMs);
        if (!options_.lonely.empty()) {
            const bool talk = sinceVoice_ < static_cast<uint32_t>(options_.hangover);
            const auto wanted = talk ? suppressionOf(options_.suppression) : suppressionOf(options_.lonely);
            if (apm_->echo_cancellation()->suppression_level() != wanted) apm_->echo_cancellation()->set_suppression_level(wanted);
        }
        float* channels[] = {frame_.data()};
        apm_->ProcessStream(channels, stream, stream, channels);
        sinceVoice_ = apm_->voice_detection()->stream_has_voice() ? 0 : sinceVoice_ + 1;
        if (AecCore* core = apm_->echo_cancellation()->aec_core()) {
            const int delay = WebRtcAec_system_delay(core);
            lowestSystemDelay_ = std::min(lowestSystemDelay_, delay);
            highestSystemDelay_ = std::max(highestSystemDelay_, delay);
        }
        if (wide) downsampler_.convert(frame_.data(), out);
        else out.insert(out.end(), frame_.begin(), frame_.end());
        ++captured_;
        if (captured_ % 100 == 0) noteSecond();
    }

    std::string report() const override { return report_; }

private:
    void noteSecond() {
        webrtc::EchoCancellation::Metrics metrics;
        int median = -1, deviation = 0;
        float poor = 0.0f;
        apm_->echo_cancellation()->GetMetrics(&metrics);
        apm_->echo_cancellation()->GetDelayMetrics(&median, &deviation, &poor);
        std::ostringstream line;
        line << captured_ / 100 << " s: canceller ERLE " << metrics.echo_return_loss_enhancement.average
             << " dB, A_NLP " << metrics.a_nlp.average << " dB, delay median " << median << " ms, reference late "
             << late_ << ", buffered reference " << lowestSystemDelay_ << ".." << highestSystemDelay_ << " samples, extended "
             << (apm_->echo_cancellation()->aec_core() ? WebRtcAec_extended_filter_enabled(apm_->echo_cancellation()->aec_core()) : -1)
             << "\n";
        lowestSystemDelay_ = 1 << 30;
        highestSystemDelay_ = -(1 << 30);
        report_ += line.str();
    }

    std::unique_ptr<webrtc::AudioProcessing> apm_;
    ApmOptions options_;
    std::vector<float> frame_;
    std::vector<float> reference_;
    std::vector<float> render48_;
    std::vector<float> render16_;
    platform::pulse::ReferenceDownsampler decimator_;
    Downsampler downsampler_;
    uint64_t captured_ = 0;
    uint64_t late_ = 0;
    double lag_ = 0.0;
    uint32_t sinceVoice_ = 1000;
    int lowestSystemDelay_ = 1 << 30;
    int highestSystemDelay_ = -(1 << 30);
    std::string report_;
};

// The microphone as it is: what every figure is measured against.
class BypassVariant final : public Variant {
public:
    void render(const float*) override {}
    void capture(const float*, const float* frame16, const Event&, std::vector<float>& out) override {
        out.insert(out.end(), frame16, frame16 + voiceFrame);
    }
};

std::unique_ptr<Variant> makeApm(const std::string& text, std::string& problem) {
    ApmOptions options;
    if (!parseOptions(text, options, problem)) return nullptr;
    webrtc::Config config;
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(options.delayAgnostic));
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(options.extended));
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(options.experimentalGain));
    webrtc::AudioProcessing* apm = webrtc::AudioProcessing::Create(config);
    const webrtc::StreamConfig mono(options.rate, 1, false);
    const webrtc::ProcessingConfig streams = {{mono, mono, mono, mono}};
    apm->Initialize(streams);
    apm->high_pass_filter()->Enable(options.highPass);
    auto* echo = apm->echo_cancellation();
    echo->set_suppression_level(suppressionOf(options.suppression));
    echo->enable_metrics(true);
    echo->enable_delay_logging(true);
    echo->Enable(true);
    auto* noise = apm->noise_suppression();
    if (options.noise != "off") {
        const std::map<std::string, webrtc::NoiseSuppression::Level> levels = {
            {"low", webrtc::NoiseSuppression::kLow},
            {"moderate", webrtc::NoiseSuppression::kModerate},
            {"high", webrtc::NoiseSuppression::kHigh},
            {"veryhigh", webrtc::NoiseSuppression::kVeryHigh}};
        noise->set_level(levels.at(options.noise));
        noise->Enable(true);
    }
    if (options.gain) {
        apm->gain_control()->set_mode(webrtc::GainControl::kAdaptiveDigital);
        apm->gain_control()->set_compression_gain_db(options.compressionGainDb);
        apm->gain_control()->enable_limiter(true);
        apm->gain_control()->Enable(true);
    }
    apm->voice_detection()->Enable(options.voiceDetection || !options.lonely.empty());
    return std::make_unique<ApmVariant>(apm, options);
}

}  // namespace

std::unique_ptr<Variant> makeVariant(const std::string& name, const std::string& options, std::string& problem) {
    if (name == "baseline") {
        auto processor = baseline::WebRtcVoiceProcessor::create(problem);
        if (!processor) return nullptr;
        return std::make_unique<BaselineVariant>(std::move(processor));
    }
    if (name == "voice") {
        auto processor = platform::pulse::WebRtcVoiceProcessor::create(problem);
        if (!processor) return nullptr;
        return std::make_unique<VoiceVariant>(std::move(processor));
    }
    if (name == "apm") return makeApm(options, problem);
    if (name == "bypass") return std::make_unique<BypassVariant>();
    problem = "unknown variant " + name;
    return nullptr;
}

}  // namespace mivo::offline
