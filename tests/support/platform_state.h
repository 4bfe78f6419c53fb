#pragma once

// The platform and every object it made share one lock, one log and one set of answers and faults,
// so that a test sets them in one place; only the scripted platform's own sources include this.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/scripted_platform.h"

namespace mivo::testing {

namespace detail {

struct ObserverRecord {
    ScriptedPlatform::Observer info;
    std::function<void()> block;
    InFlight inFlight;
};

struct Hook {
    std::string prefix;
    std::function<void()> action;
    bool once = false;
};

struct PlatformState {
    std::mutex mutex;
    std::condition_variable returned;  // a tracked block call has returned
    CallLog log;

    std::map<uint32_t, std::pair<platform::OSStatus, platform::AudioObjectID>> devices;
    AudioFormat inputFormat = platform::standardFormat(48000, 1);
    AudioFormat outputFormat = platform::standardFormat(48000, 2);

    std::vector<DescribedFault> voiceProcessingFaults;
    std::vector<DescribedFault> engineStartFaults;
    std::vector<Calls> makeEngineFaults;
    std::vector<Calls> makePlayerFaults;
    std::vector<Calls> standardFormatFaults;
    std::vector<Calls> formatFaults;
    std::vector<Calls> converterFaults;
    std::vector<PCMBufferFault> bufferFaults;
    std::vector<std::pair<ConvertScript, Calls>> convertScripts;

    std::vector<ScriptedPlatform::DeviceQuery> queries;
    std::vector<std::shared_ptr<ScriptedEngine>> engines;
    std::vector<std::shared_ptr<ScriptedPlayerNode>> players;
    std::vector<std::shared_ptr<ScriptedConverter>> converters;
    std::vector<std::unique_ptr<ObserverRecord>> observers;  // stable addresses across growth
    std::vector<Hook> hooks;

    // Logs the entry, then runs the hooks it matches. Call with no lock held.
    void record(std::string entry) {
        std::vector<std::function<void()>> actions;
        {
            std::lock_guard<std::mutex> guard(mutex);
            for (auto it = hooks.begin(); it != hooks.end();) {
                if (std::string_view(entry).starts_with(it->prefix)) {
                    actions.push_back(it->action);
                    if (it->once) {
                        it = hooks.erase(it);
                        continue;
                    }
                }
                ++it;
            }
        }
        log.add(std::move(entry));
        for (auto& action : actions) action();
    }
};

}  // namespace detail

}  // namespace mivo::testing
