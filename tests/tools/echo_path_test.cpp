// The room's echo path offline: that it is the room rooms.conf describes (delay, level,
// reverberation, drift, change, noise) and that processing allocates nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "echo_path.h"
#include "partitioned_convolver.h"
#include "room_description.h"

namespace {

std::atomic<long> allocations{0};

void* allocate(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

}  // namespace

// Counts every allocation of this binary (the echo path's own buffers are made up front).
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace mivo::room {
namespace {

constexpr double rate = 48000.0;
constexpr size_t block = 240;

RoomDescription room(const std::string& name) { return findRoom(defaultRoomsFile(), name); }

std::vector<float> noise(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<float> gaussian(0.0f, 0.1f);
    std::vector<float> samples(count);
    for (float& v : samples) v = gaussian(random);
    return samples;
}

std::vector<float> run(EchoPath& path, const std::vector<float>& input) {
    std::vector<float> output(input.size());
    for (size_t at = 0; at + block <= input.size(); at += block) {
        path.process(input.data() + at, output.data() + at, block, static_cast<int64_t>(at));
    }
    return output;
}

// Least-squares gain of output against input `lag` samples earlier, over [from, to).
double gainAt(const std::vector<float>& input, const std::vector<float>& output, long lag, size_t from, size_t to) {
    double dot = 0.0, energy = 0.0;
    for (size_t i = from; i < to; ++i) {
        dot += static_cast<double>(output[i]) * input[i - static_cast<size_t>(lag)];
        energy += static_cast<double>(input[i - static_cast<size_t>(lag)]) * input[i - static_cast<size_t>(lag)];
    }
    return dot / energy;
}

long bestLag(const std::vector<float>& input, const std::vector<float>& output, long most, size_t from, size_t to) {
    long best = 0;
    double bestValue = 0.0;
    for (long lag = 0; lag <= most; ++lag) {
        const double value = std::fabs(gainAt(input, output, lag, from, to));
        if (value > bestValue) {
            bestValue = value;
            best = lag;
        }
    }
    return best;
}

TEST(RoomsFile, DescribesEveryRoomOfTheMatrixWithTheSameSeedEveryTime) {
    const auto rooms = readRooms(defaultRoomsFile());
    for (const char* name : {"pure-60", "quiet-60", "laptop-10", "wireless-250", "office", "reflection", "drift",
                             "nonlinear", "change", "underrun", "loopback-60"}) {
        ASSERT_TRUE(rooms.count(name)) << name;
    }
    EXPECT_EQ(rooms.at("office").seed, readRooms(defaultRoomsFile()).at("office").seed);
    EXPECT_NE(rooms.at("office").seed, rooms.at("reflection").seed);
    EXPECT_EQ(impulseResponse(rooms.at("office"), rate, 0.3), impulseResponse(rooms.at("office"), rate, 0.3));
}

TEST(RoomsFile, RejectsUnknownKeysAndBadNumbers) {
    const std::string path = ::testing::TempDir() + "/rooms-bad.conf";
    for (const char* text : {"[a]\ndelay = 5\n", "[a]\ndelay_ms = five\n", "delay_ms = 5\n", "[a]\nkind = cave\n"}) {
        FILE* file = std::fopen(path.c_str(), "w");
        std::fputs(text, file);
        std::fclose(file);
        EXPECT_THROW(readRooms(path), std::runtime_error) << text;
    }
}

TEST(EchoPath, PureDelayIsExactInTimeAndLevel) {
    for (const char* name : {"pure-60", "quiet-60", "laptop-10", "wireless-250"}) {
        const RoomDescription described = room(name);
        EchoPath path(described, rate, block);
        const long offset = std::lround(described.delayMs * rate / 1000.0);
        path.placeEcho(offset);
        const auto input = noise(48000, 1);
        const auto output = run(path, input);
        EXPECT_EQ(bestLag(input, output, 15000, 20000, 40000), offset) << name;
        EXPECT_NEAR(20.0 * std::log10(gainAt(input, output, offset, 20000, 40000)), described.gainDb, 0.01) << name;
        for (long i = 0; i < offset; ++i) ASSERT_EQ(output[static_cast<size_t>(i)], 0.0f) << name << " at " << i;
    }
}

TEST(PartitionedConvolver, MatchesDirectConvolutionOneBlockLate) {
    const auto response = noise(1500, 2);
    const auto input = noise(6000, 3);
    PartitionedConvolver convolver(response);
    const size_t late = PartitionedConvolver::blockSize;
    for (size_t n = 0; n < input.size(); ++n) {
        const float fast = convolver.process(input[n]);
        if (n < late) continue;
        double direct = 0.0;
        for (size_t k = 0; k < response.size() && k <= n - late; ++k) direct += response[k] * input[n - late - k];
        ASSERT_NEAR(fast, direct, 1e-4) << "sample " << n;
    }
}

TEST(EchoPath, ReverberantRoomKeepsItsDirectPathWhereItIsAndItsReflectionLouder) {
    const RoomDescription described = room("reflection");
    EchoPath path(described, rate, block);
    const long offset = std::lround(described.delayMs * rate / 1000.0);
    path.placeEcho(offset);
    const auto input = noise(96000, 4);
    const auto output = run(path, input);
    const double direct = gainAt(input, output, offset, 40000, 90000);
    const long reflected = offset + std::lround(described.reflectionMs * rate / 1000.0);
    const double reflection = gainAt(input, output, reflected, 40000, 90000);
    EXPECT_NEAR(20.0 * std::log10(direct), described.gainDb, 0.5);
    EXPECT_NEAR(20.0 * std::log10(reflection / direct), described.reflectionDb, 0.5);
    EXPECT_EQ(bestLag(input, output, 6000, 40000, 60000), reflected);
}

TEST(EchoPath, DriftMovesTheEchoByItsPartsPerMillion) {
    const RoomDescription described = room("drift");
    EchoPath path(described, rate, block);
    path.placeEcho(2880);
    const auto input = noise(48000 * 12, 5);
    const auto output = run(path, input);
    const long early = bestLag(input, output, 4000, 48000, 96000);
    const long late = bestLag(input, output, 4000, 48000 * 10, 48000 * 11);
    // Placed where asked, the resampler's own delay taken off; drifted by the first window's middle.
    EXPECT_NEAR(static_cast<double>(early), 2880.0 + described.driftPpm * 1e-6 * 1.5 * rate, 3.0);
    // 150 ppm over the 9 s between the two windows' middles is 65 samples.
    EXPECT_NEAR(static_cast<double>(late - early), described.driftPpm * 1e-6 * 9.0 * rate, 2.0);
}

TEST(EchoPath, ChangesDelayAndLevelAtItsTimeAfterTheFirstSound) {
    const RoomDescription described = room("change");
    EchoPath path(described, rate, block);
    path.placeEcho(2880);
    std::vector<float> input(48000 * 14, 0.0f);
    const auto sound = noise(48000 * 13, 6);
    std::copy(sound.begin(), sound.end(), input.begin() + 48000);  // the first sound comes at 1 s
    const auto output = run(path, input);
    const size_t changeAt = 48000 + static_cast<size_t>(described.changeAtSeconds * rate);
    EXPECT_EQ(bestLag(input, output, 8000, changeAt - 96000, changeAt - 4000), 2880);
    const long moved = 2880 + std::lround(described.changeDelayMs * rate / 1000.0);
    EXPECT_EQ(bestLag(input, output, 8000, changeAt + 8000, changeAt + 96000), moved);
    EXPECT_NEAR(20.0 * std::log10(gainAt(input, output, moved, changeAt + 8000, changeAt + 96000)),
                described.gainDb + described.changeGainDb, 0.1);
}

TEST(EchoPath, AddsTheSameNoiseEveryRunAtItsLevel) {
    const RoomDescription described = room("nonlinear");
    EchoPath first(described, rate, block);
    EchoPath second(described, rate, block);
    const std::vector<float> silence(48000, 0.0f);
    const auto a = run(first, silence);
    const auto b = run(second, silence);
    EXPECT_EQ(a, b);
    double energy = 0.0;
    for (float v : a) energy += static_cast<double>(v) * v;
    EXPECT_NEAR(10.0 * std::log10(energy / static_cast<double>(a.size())), described.noiseDbfs, 0.2);
}

TEST(EchoPath, ProcessesWithoutAllocating) {
    for (const char* name : {"pure-60", "office", "drift", "nonlinear", "change"}) {
        EchoPath path(room(name), rate, 4800);
        path.placeEcho(4000);
        const auto input = noise(48000, 7);
        std::vector<float> output(input.size());
        const long before = allocations.load();
        for (size_t at = 0; at + 4800 <= input.size(); at += 4800) {
            path.process(input.data() + at, output.data() + at, 4800, static_cast<int64_t>(at));
        }
        EXPECT_EQ(allocations.load(), before) << name;
    }
}

}  // namespace
}  // namespace mivo::room
