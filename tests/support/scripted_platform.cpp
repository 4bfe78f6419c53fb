// Everything the platform makes is kept, so that a test can still inspect it after the core let go.

#include "support/scripted_platform.h"

#include <algorithm>
#include <utility>

#include "support/platform_state.h"

namespace mivo::testing {

using detail::PlatformState;
using detail::anyFault;
using detail::callTracked;
using detail::number;
using detail::takeCall;

namespace {

std::string selectorName(uint32_t selector) {
    std::string name;
    for (int shift = 24; shift >= 0; shift -= 8) name += static_cast<char>((selector >> shift) & 0xff);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

class ScriptedToken final : public platform::ObserverToken {
public:
    explicit ScriptedToken(size_t index) : index(index) {}
    const size_t index;
};

}  // namespace

ScriptedPlatform::ScriptedPlatform() : state_(std::make_shared<PlatformState>()) {
    state_->devices[platform::defaultInputDeviceSelector] = {0, 40};
    state_->devices[platform::defaultOutputDeviceSelector] = {0, 41};
}

ScriptedPlatform::~ScriptedPlatform() {
    // The objects made hold the shared state; let go of them so the state can go too.
    std::vector<std::shared_ptr<ScriptedEngine>> engines;
    std::vector<std::shared_ptr<ScriptedPlayerNode>> players;
    std::vector<std::shared_ptr<ScriptedConverter>> converters;
    std::vector<std::unique_ptr<detail::ObserverRecord>> observers;
    std::vector<detail::Hook> hooks;
    std::lock_guard<std::mutex> guard(state_->mutex);
    engines.swap(state_->engines);
    players.swap(state_->players);
    converters.swap(state_->converters);
    observers.swap(state_->observers);
    hooks.swap(state_->hooks);
}

CallLog& ScriptedPlatform::log() { return state_->log; }

void ScriptedPlatform::setDevice(uint32_t selector, platform::OSStatus status, platform::AudioObjectID id) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->devices[selector] = {status, id};
}

void ScriptedPlatform::setInputDevice(platform::OSStatus status, platform::AudioObjectID id) {
    setDevice(platform::defaultInputDeviceSelector, status, id);
}

void ScriptedPlatform::setOutputDevice(platform::OSStatus status, platform::AudioObjectID id) {
    setDevice(platform::defaultOutputDeviceSelector, status, id);
}

void ScriptedPlatform::setInputFormat(const AudioFormat& format) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->inputFormat = format;
}

void ScriptedPlatform::setOutputFormat(const AudioFormat& format) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->outputFormat = format;
}

void ScriptedPlatform::failVoiceProcessing(std::string description, Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->voiceProcessingFaults.push_back({std::move(description), calls});
}

void ScriptedPlatform::failEngineStart(std::string description, Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->engineStartFaults.push_back({std::move(description), calls});
}

void ScriptedPlatform::failMakeEngine(Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->makeEngineFaults.push_back(calls);
}

void ScriptedPlatform::failMakePlayerNode(Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->makePlayerFaults.push_back(calls);
}

void ScriptedPlatform::failMakeStandardFormat(Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->standardFormatFaults.push_back(calls);
}

void ScriptedPlatform::failMakeFormat(Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->formatFaults.push_back(calls);
}

void ScriptedPlatform::failMakeConverter(Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->converterFaults.push_back(calls);
}

void ScriptedPlatform::failPCMBuffers(PCMBufferFault fault) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->bufferFaults.push_back(std::move(fault));
}

void ScriptedPlatform::scriptConvert(ConvertScript script, Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->convertScripts.emplace_back(std::move(script), calls);
}

void ScriptedPlatform::clearFaults() {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->voiceProcessingFaults.clear();
    state_->engineStartFaults.clear();
    state_->makeEngineFaults.clear();
    state_->makePlayerFaults.clear();
    state_->standardFormatFaults.clear();
    state_->formatFaults.clear();
    state_->converterFaults.clear();
    state_->bufferFaults.clear();
    state_->convertScripts.clear();
}

std::vector<ScriptedPlatform::DeviceQuery> ScriptedPlatform::deviceQueries() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->queries;
}

std::vector<std::shared_ptr<ScriptedEngine>> ScriptedPlatform::engines() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->engines;
}

std::shared_ptr<ScriptedEngine> ScriptedPlatform::currentEngine() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->engines.empty() ? nullptr : state_->engines.back();
}

std::vector<std::shared_ptr<ScriptedPlayerNode>> ScriptedPlatform::players() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->players;
}

std::shared_ptr<ScriptedPlayerNode> ScriptedPlatform::currentPlayer() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->players.empty() ? nullptr : state_->players.back();
}

std::vector<std::shared_ptr<ScriptedConverter>> ScriptedPlatform::converters() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->converters;
}

std::shared_ptr<ScriptedConverter> ScriptedPlatform::currentConverter() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->converters.empty() ? nullptr : state_->converters.back();
}

std::vector<ScriptedPlatform::Observer> ScriptedPlatform::observers() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    std::vector<Observer> list;
    for (const auto& record : state_->observers) list.push_back(record->info);
    return list;
}

size_t ScriptedPlatform::registeredObserverCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return static_cast<size_t>(std::count_if(state_->observers.begin(), state_->observers.end(),
                                             [](const auto& record) { return record->info.registered; }));
}

bool ScriptedPlatform::observerRegisteredFor(const platform::AudioEngine& engine) const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return std::any_of(state_->observers.begin(), state_->observers.end(), [&](const auto& record) {
        return record->info.registered && record->info.object == &engine;
    });
}

bool ScriptedPlatform::deliverTap(const std::vector<std::vector<float>>& channels, std::optional<double> sampleRate) {
    const auto engine = currentEngine();
    return engine && engine->input().deliver(channels, sampleRate);
}

size_t ScriptedPlatform::post(std::string_view name, const void* object) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    std::vector<detail::ObserverRecord*> matching;
    for (const auto& record : state_->observers) {
        if (record->info.registered && record->info.name == name && record->info.object == object) {
            matching.push_back(record.get());
        }
    }
    size_t called = 0;
    for (detail::ObserverRecord* record : matching) {
        if (!record->info.registered) continue;  // removed by an earlier block of this post
        ++record->info.calls;
        ++called;
        const auto block = record->block;
        callTracked(lock, record->inFlight, state_->returned, [&] { block(); });
    }
    return called;
}

size_t ScriptedPlatform::postConfigurationChange() {
    const auto engine = currentEngine();
    return engine ? postConfigurationChange(*engine) : 0;
}

size_t ScriptedPlatform::postConfigurationChange(const platform::AudioEngine& engine) {
    return post(platform::engineConfigurationChangeNotification, &engine);
}

bool ScriptedPlatform::postToRemovedObserver(size_t index) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (index >= state_->observers.size()) return false;
    detail::ObserverRecord* record = state_->observers[index].get();
    const auto block = record->block;
    callTracked(lock, record->inFlight, state_->returned, [&] { block(); });
    return true;
}

void ScriptedPlatform::onEveryCall(std::string prefix, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->hooks.push_back({std::move(prefix), std::move(action), false});
}

void ScriptedPlatform::onNextCall(std::string prefix, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->hooks.push_back({std::move(prefix), std::move(action), true});
}

void ScriptedPlatform::clearHooks() {
    std::vector<detail::Hook> hooks;
    std::lock_guard<std::mutex> guard(state_->mutex);
    hooks.swap(state_->hooks);
}

platform::OSStatus ScriptedPlatform::getPropertyData(platform::AudioObjectID object,
                                                     const platform::PropertyAddress& address, uint32_t qualifierSize,
                                                     const void* qualifier, uint32_t& dataSize, void* data) {
    state_->record("getPropertyData " + selectorName(address.selector));
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->queries.push_back({object, address, qualifierSize, qualifier, dataSize});
    const auto found = state_->devices.find(address.selector);
    if (found == state_->devices.end()) return static_cast<platform::OSStatus>(platform::fourCharCode("who?"));
    const auto [status, id] = found->second;
    if (data && dataSize >= sizeof id) {
        *static_cast<platform::AudioObjectID*>(data) = id;
        dataSize = sizeof id;
    }
    return status;
}

std::shared_ptr<platform::AudioEngine> ScriptedPlatform::makeEngine() {
    state_->record("makeEngine");
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (anyFault(state_->makeEngineFaults)) return nullptr;
    auto engine = std::make_shared<ScriptedEngine>(state_, state_->engines.size());
    state_->engines.push_back(engine);
    return engine;
}

std::shared_ptr<platform::PlayerNode> ScriptedPlatform::makePlayerNode() {
    state_->record("makePlayerNode");
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (anyFault(state_->makePlayerFaults)) return nullptr;
    auto player = std::make_shared<ScriptedPlayerNode>(state_);
    state_->players.push_back(player);
    return player;
}

std::shared_ptr<const AudioFormat> ScriptedPlatform::makeStandardFormat(double sampleRate, uint32_t channels) {
    state_->record("makeStandardFormat " + number(sampleRate) + " " + std::to_string(channels));
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (anyFault(state_->standardFormatFaults)) return nullptr;
    return std::make_shared<const AudioFormat>(platform::standardFormat(sampleRate, channels));
}

std::shared_ptr<PCMBuffer> ScriptedPlatform::makePCMBuffer(const AudioFormat& format, uint32_t frameCapacity) {
    state_->record("makePCMBuffer " + describe(format) + " " + std::to_string(frameCapacity));
    std::optional<BufferFault> fault;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        for (auto& candidate : state_->bufferFaults) {
            if (candidate.capacity && *candidate.capacity != frameCapacity) continue;
            if (candidate.format && *candidate.format != format) continue;
            if (takeCall(candidate.calls) && !fault) fault = candidate.kind;
        }
    }
    if (fault == BufferFault::null) return nullptr;
    if (fault == BufferFault::noSampleMemory) return std::make_shared<ScriptedPCMBuffer>(format, frameCapacity, false);
    // The real buffer, which refuses absurd sizes rather than allocate them.
    return platform::OwnedPCMBuffer::make(format, frameCapacity);
}

std::shared_ptr<platform::AudioConverter> ScriptedPlatform::makeConverter(const AudioFormat& from,
                                                                          const AudioFormat& to) {
    state_->record("makeConverter");
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (anyFault(state_->converterFaults)) return nullptr;
    auto converter = std::make_shared<ScriptedConverter>(state_, from, to);
    state_->converters.push_back(converter);
    return converter;
}

std::shared_ptr<platform::ObserverToken> ScriptedPlatform::addObserver(std::string_view name, const void* object,
                                                                       std::function<void()> block) {
    state_->record("addObserver");
    std::lock_guard<std::mutex> guard(state_->mutex);
    auto record = std::make_unique<detail::ObserverRecord>();
    record->info.index = state_->observers.size();
    record->info.name = std::string(name);
    record->info.object = object;
    record->info.registered = true;
    record->block = std::move(block);
    state_->observers.push_back(std::move(record));
    return std::make_shared<ScriptedToken>(state_->observers.size() - 1);
}

void ScriptedPlatform::removeObserver(const std::shared_ptr<platform::ObserverToken>& token) {
    state_->record("removeObserver");
    const auto scripted = std::dynamic_pointer_cast<ScriptedToken>(token);
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (!scripted || scripted->index >= state_->observers.size()) return;
    detail::ObserverRecord* record = state_->observers[scripted->index].get();
    record->info.registered = false;
    state_->returned.wait(lock, [&] { return record->inFlight.onlyThisThread(); });
}

}  // namespace mivo::testing
