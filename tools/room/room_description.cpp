#include "room_description.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>

#ifndef MIVO_ROOMS_FILE
#define MIVO_ROOMS_FILE "rooms.conf"
#endif

namespace mivo::room {

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// FNV-1a: a seed that is the same on every machine and every run for the same name.
uint64_t seedOf(const std::string& name) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

using Setter = std::function<void(RoomDescription&, const std::string&)>;

Setter number(double RoomDescription::*field) {
    return [field](RoomDescription& room, const std::string& value) {
        size_t used = 0;
        const double parsed = std::stod(value, &used);
        if (used != value.size()) throw std::invalid_argument(value);
        room.*field = parsed;
    };
}

const std::map<std::string, Setter>& setters() {
    static const std::map<std::string, Setter> table = {
        {"kind",
         [](RoomDescription& room, const std::string& value) {
             if (value != "client" && value != "loopback") throw std::invalid_argument(value);
             room.kind = value;
         }},
        {"delay_ms", number(&RoomDescription::delayMs)},
        {"gain_db", number(&RoomDescription::gainDb)},
        {"rt60_s", number(&RoomDescription::rt60Seconds)},
        {"reverb_db", number(&RoomDescription::reverbDb)},
        {"reflection_ms", number(&RoomDescription::reflectionMs)},
        {"reflection_db", number(&RoomDescription::reflectionDb)},
        {"ir_wav", [](RoomDescription& room, const std::string& value) { room.impulseResponseWav = value; }},
        {"drift_ppm", number(&RoomDescription::driftPpm)},
        {"clip_dbfs", number(&RoomDescription::clipDbfs)},
        {"noise_dbfs", number(&RoomDescription::noiseDbfs)},
        {"change_at_s", number(&RoomDescription::changeAtSeconds)},
        {"change_delay_ms", number(&RoomDescription::changeDelayMs)},
        {"change_gain_db", number(&RoomDescription::changeGainDb)},
        {"change_rt60_s", number(&RoomDescription::changeRt60Seconds)},
        {"seed", [](RoomDescription& room, const std::string& value) { room.seed = std::stoull(value); }},
        {"far_s", number(&RoomDescription::farSeconds)},
        {"pause_at_s", number(&RoomDescription::pauseAtSeconds)},
        {"pause_ms", number(&RoomDescription::pauseMs)},
    };
    return table;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::vector<float> readImpulseResponse(const std::string& path, double rate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) throw std::runtime_error("cannot read the impulse response " + path);
    std::vector<float> frames(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    const sf_count_t read = sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    if (info.samplerate != static_cast<int>(rate)) {
        throw std::runtime_error("the impulse response " + path + " is not at " + std::to_string(static_cast<int>(rate)) +
                                 " Hz");
    }
    std::vector<float> response(static_cast<size_t>(std::max<sf_count_t>(read, 0)));
    for (size_t i = 0; i < response.size(); ++i) response[i] = frames[i * static_cast<size_t>(info.channels)];
    return response;
}

// Direct path at 0, an optional discrete reflection, and a diffuse tail: Gaussian noise under an
// exponential envelope that falls 60 dB in rt60, from 2 ms on, cut where it is 60 dB down.
std::vector<float> generatedResponse(const RoomDescription& room, double rate, double rt60) {
    const size_t reflectionAt = static_cast<size_t>(std::lround(room.reflectionMs * rate / 1000.0));
    const size_t tailLength = rt60 > 0.0 ? static_cast<size_t>(rt60 * rate) : 0;
    std::vector<double> response(std::max({size_t{1}, reflectionAt + 1, tailLength}), 0.0);
    response[0] = 1.0;
    if (room.reflectionMs > 0.0) response[reflectionAt] += fromDecibels(room.reflectionDb);
    if (tailLength > 0) {
        std::mt19937_64 random(room.seed);
        std::normal_distribution<double> gaussian(0.0, 1.0);
        const size_t tailStart = static_cast<size_t>(0.002 * rate);
        std::vector<double> tail(tailLength, 0.0);
        double tailEnergy = 0.0;
        for (size_t i = tailStart; i < tailLength; ++i) {
            const double seconds = static_cast<double>(i) / rate;
            tail[i] = gaussian(random) * std::exp(-6.9078 * seconds / rt60);
            tailEnergy += tail[i] * tail[i];
        }
        // The tail's energy against the direct path's (1).
        const double scale = tailEnergy > 0.0 ? std::sqrt(fromDecibels(room.reverbDb) * fromDecibels(room.reverbDb) /
                                                          tailEnergy)
                                              : 0.0;
        for (size_t i = 0; i < tailLength; ++i) response[i] += tail[i] * scale;
    }
    std::vector<float> result(response.size());
    const double gain = fromDecibels(room.gainDb);
    for (size_t i = 0; i < response.size(); ++i) result[i] = static_cast<float>(response[i] * gain);
    return result;
}

}  // namespace

double fromDecibels(double decibels) { return std::pow(10.0, decibels / 20.0); }

std::string defaultRoomsFile() { return MIVO_ROOMS_FILE; }

std::map<std::string, RoomDescription> readRooms(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read the rooms file " + path);
    std::map<std::string, RoomDescription> rooms;
    RoomDescription* current = nullptr;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::string text = trimmed(line.substr(0, line.find('#')));
        if (text.empty()) continue;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (text.front() == '[' && text.back() == ']') {
            const std::string name = trimmed(text.substr(1, text.size() - 2));
            if (name.empty() || rooms.count(name)) throw std::runtime_error(where + "empty or repeated room name");
            current = &rooms[name];
            current->name = name;
            current->seed = seedOf(name);
            continue;
        }
        const auto equals = text.find('=');
        if (!current || equals == std::string::npos) throw std::runtime_error(where + "expected [name] or key = value");
        const std::string key = trimmed(text.substr(0, equals));
        const std::string value = trimmed(text.substr(equals + 1));
        const auto setter = setters().find(key);
        if (setter == setters().end()) throw std::runtime_error(where + "unknown key " + key);
        try {
            setter->second(*current, value);
        } catch (const std::logic_error&) {
            throw std::runtime_error(where + "bad value for " + key + ": " + value);
        }
        if (key == "ir_wav" && !value.empty() && value.front() != '/') {
            current->impulseResponseWav = folderOf(path) + "/" + value;
        }
    }
    return rooms;
}

RoomDescription findRoom(const std::string& path, const std::string& name) {
    const auto rooms = readRooms(path);
    const auto found = rooms.find(name);
    if (found == rooms.end()) throw std::runtime_error("no room named " + name + " in " + path);
    return found->second;
}

std::vector<float> impulseResponse(const RoomDescription& room, double rate, double rt60Seconds) {
    if (!room.impulseResponseWav.empty()) {
        std::vector<float> response = readImpulseResponse(room.impulseResponseWav, rate);
        const float gain = static_cast<float>(fromDecibels(room.gainDb));
        for (float& value : response) value *= gain;
        return response;
    }
    return generatedResponse(room, rate, rt60Seconds);
}

}  // namespace mivo::room
