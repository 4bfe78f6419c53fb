/* A plain PulseAudio client for the echo benchmark, with nothing of the library in it.
 *
 *   mivo-echo-probe record --device D --rate R --seconds S --out FILE.raw --stamps FILE.txt
 *       Records mono s16 in 10 ms fragments; after every read writes "<monotonic ns> <samples so far>"
 *       to the stamps file, so that a sample's arrival time in this client is known.
 *   mivo-echo-probe play --device D --file FAR.raw [--pause-at S --pause-ms M]
 *       Plays 48 kHz mono s16 in 10 ms writes with a 100 ms buffer, as a real-time source would;
 *       with --pause-at it stops writing for M ms once S seconds are written (an underrun).
 *   mivo-echo-probe clicks --device D --count N --interval-ms I --lead-ms L --log FILE.txt
 *       Plays 48 kHz mono silence with N short clicks into D. For every click writes the
 *       monotonic ns at which its first sample reaches the device: the write time plus the
 *       latency the server reports just before the click is written.
 *
 * Monotonic time is CLOCK_MONOTONIC, the clock every helper of the benchmark stamps with. */
#include <errno.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static volatile sig_atomic_t stopRequested = 0;

static void onSignal(int signalNumber) {
    (void)signalNumber;
    stopRequested = 1;
}

static int64_t monotonicNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static const char* option(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 2; i + 1 < argc; i += 2)
        if (strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

static int usage(void) {
    fputs("usage: mivo-echo-probe record --device D --rate R --seconds S --out FILE --stamps FILE\n"
          "       mivo-echo-probe play --device D --file FAR.raw [--pause-at S --pause-ms M]\n"
          "       mivo-echo-probe clicks --device D --count N --interval-ms I --lead-ms L --log FILE\n",
          stderr);
    return 2;
}

static int record(int argc, char** argv) {
    const char* device = option(argc, argv, "--device", NULL);
    const int rate = atoi(option(argc, argv, "--rate", "16000"));
    const double seconds = atof(option(argc, argv, "--seconds", "0"));
    const char* outPath = option(argc, argv, "--out", NULL);
    const char* stampsPath = option(argc, argv, "--stamps", NULL);
    if (!device || !outPath || !stampsPath || rate <= 0 || seconds <= 0) return usage();

    const pa_sample_spec sampleFormat = {PA_SAMPLE_S16LE, (uint32_t)rate, 1};
    const uint32_t fragmentSamples = (uint32_t)rate / 100;
    /* 10 ms fragments: the same granularity as the library's capture tap. */
    const pa_buffer_attr attr = {(uint32_t)-1, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1, fragmentSamples * 2};
    int error = 0;
    pa_simple* stream = pa_simple_new(NULL, "mivo-echo-probe", PA_STREAM_RECORD, device, "record", &sampleFormat, NULL,
                                      &attr, &error);
    if (!stream) {
        fprintf(stderr, "mivo-echo-probe: cannot record %s: %s\n", device, pa_strerror(error));
        return 1;
    }
    FILE* out = fopen(outPath, "wb");
    FILE* stamps = fopen(stampsPath, "w");
    if (!out || !stamps) {
        fprintf(stderr, "mivo-echo-probe: cannot write %s or %s: %s\n", outPath, stampsPath, strerror(errno));
        return 1;
    }
    int16_t buffer[4800];
    const int64_t begin = monotonicNs();
    uint64_t total = 0;
    int status = 0;
    while (!stopRequested && (double)(monotonicNs() - begin) < seconds * 1e9) {
        if (pa_simple_read(stream, buffer, fragmentSamples * 2, &error) < 0) {
            fprintf(stderr, "mivo-echo-probe: read from %s failed: %s\n", device, pa_strerror(error));
            status = 1;
            break;
        }
        const int64_t now = monotonicNs();
        total += fragmentSamples;
        fwrite(buffer, 2, fragmentSamples, out);
        fprintf(stamps, "%lld %llu\n", (long long)now, (unsigned long long)total);
    }
    fclose(out);
    fclose(stamps);
    pa_simple_free(stream);
    return status;
}

static int play(int argc, char** argv) {
    const char* device = option(argc, argv, "--device", NULL);
    const char* path = option(argc, argv, "--file", NULL);
    const double pauseAt = atof(option(argc, argv, "--pause-at", "0"));
    const int pauseMs = atoi(option(argc, argv, "--pause-ms", "0"));
    if (!device || !path) return usage();
    FILE* file = fopen(path, "rb");
    if (!file) {
        fprintf(stderr, "mivo-echo-probe: cannot read %s: %s\n", path, strerror(errno));
        return 1;
    }
    enum { rate = 48000, chunk = 480 };
    const pa_sample_spec sampleFormat = {PA_SAMPLE_S16LE, rate, 1};
    const pa_buffer_attr attr = {(uint32_t)-1, 10 * chunk * 2, (uint32_t)-1, chunk * 2, (uint32_t)-1};
    int error = 0;
    pa_simple* stream = pa_simple_new(NULL, "mivo-echo-probe", PA_STREAM_PLAYBACK, device, "far end", &sampleFormat,
                                      NULL, &attr, &error);
    if (!stream) {
        fprintf(stderr, "mivo-echo-probe: cannot play to %s: %s\n", device, pa_strerror(error));
        fclose(file);
        return 1;
    }
    int16_t buffer[chunk];
    size_t written = 0;
    int paused = pauseAt <= 0;
    int status = 0;
    size_t got = 0;
    while (!stopRequested && (got = fread(buffer, 2, chunk, file)) > 0) {
        if (!paused && (double)written >= pauseAt * rate) {
            struct timespec pause = {pauseMs / 1000, (long)(pauseMs % 1000) * 1000000L};
            nanosleep(&pause, NULL);
            paused = 1;
        }
        if (pa_simple_write(stream, buffer, got * 2, &error) < 0) {
            fprintf(stderr, "mivo-echo-probe: write to %s failed: %s\n", device, pa_strerror(error));
            status = 1;
            break;
        }
        written += got;
    }
    if (status == 0) pa_simple_drain(stream, &error);
    fclose(file);
    pa_simple_free(stream);
    return status;
}

static int clicks(int argc, char** argv) {
    const char* device = option(argc, argv, "--device", NULL);
    const int count = atoi(option(argc, argv, "--count", "8"));
    const int intervalMs = atoi(option(argc, argv, "--interval-ms", "400"));
    const int leadMs = atoi(option(argc, argv, "--lead-ms", "500"));
    const char* logPath = option(argc, argv, "--log", NULL);
    if (!device || !logPath || count <= 0 || intervalMs < 50 || leadMs < 0) return usage();

    enum { rate = 48000, chunk = 480 };
    const pa_sample_spec sampleFormat = {PA_SAMPLE_S16LE, rate, 1};
    /* A short playback buffer keeps the reported latency small and its error smaller. */
    const pa_buffer_attr attr = {(uint32_t)-1, 3 * chunk * 2, (uint32_t)-1, chunk * 2, (uint32_t)-1};
    int error = 0;
    pa_simple* stream = pa_simple_new(NULL, "mivo-echo-probe", PA_STREAM_PLAYBACK, device, "clicks", &sampleFormat, NULL,
                                      &attr, &error);
    if (!stream) {
        fprintf(stderr, "mivo-echo-probe: cannot play to %s: %s\n", device, pa_strerror(error));
        return 1;
    }
    FILE* log = fopen(logPath, "w");
    if (!log) {
        fprintf(stderr, "mivo-echo-probe: cannot write %s: %s\n", logPath, strerror(errno));
        return 1;
    }
    /* The click: 2 ms of full-band noise at -6 dBFS from its first sample on, so its onset is sharp.
     * Each click starts at another offset inside its 10 ms chunk, so that over all clicks the
     * readers' 10 ms granularity averages out instead of biasing every click the same way. */
    enum { clickLength = 96 };
    int16_t silence[chunk];
    int16_t click[clickLength];
    memset(silence, 0, sizeof silence);
    uint32_t seed = 12345;
    for (int i = 0; i < clickLength; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const int value = (int)((seed >> 16) & 0x7fff) - 16384;
        click[i] = (int16_t)(i == 0 ? 16000 : value);
    }
    int16_t clickChunk[2 * chunk];
    int clicksWritten = 0;
    int carry = 0;
    const int chunksPerInterval = intervalMs / 10;
    const int leadChunks = leadMs / 10;
    const int totalChunks = leadChunks + count * chunksPerInterval + 30;
    int status = 0;
    for (int index = 0; index < totalChunks && !stopRequested; ++index) {
        const int sinceLead = index - leadChunks;
        const int isClick = sinceLead >= 0 && sinceLead % chunksPerInterval == 0 && sinceLead / chunksPerInterval < count;
        const int16_t* data = carry ? clickChunk + chunk : silence;  /* a click's tail goes on */
        carry = 0;
        if (isClick) {
            const int offset = (clicksWritten++ * 173) % chunk;
            memset(clickChunk, 0, sizeof clickChunk);
            memcpy(clickChunk + offset, click, sizeof click);
            data = clickChunk;
            carry = offset + clickLength > chunk;
            /* Everything already written plays before the chunk's first sample. */
            const pa_usec_t latency = pa_simple_get_latency(stream, &error);
            const int64_t now = monotonicNs();
            if (latency == (pa_usec_t)-1) {
                fprintf(stderr, "mivo-echo-probe: no latency from %s: %s\n", device, pa_strerror(error));
                status = 1;
                break;
            }
            const int64_t hit = now + (int64_t)latency * 1000 + (int64_t)offset * 1000000000 / rate;
            fprintf(log, "%lld %llu\n", (long long)hit, (unsigned long long)latency);
            fflush(log);
        }
        if (pa_simple_write(stream, data, sizeof silence, &error) < 0) {
            fprintf(stderr, "mivo-echo-probe: write to %s failed: %s\n", device, pa_strerror(error));
            status = 1;
            break;
        }
    }
    if (status == 0 && pa_simple_drain(stream, &error) < 0) {
        fprintf(stderr, "mivo-echo-probe: drain on %s failed: %s\n", device, pa_strerror(error));
        status = 1;
    }
    fclose(log);
    pa_simple_free(stream);
    return status;
}

int main(int argc, char** argv) {
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    if (argc < 2) return usage();
    if (strcmp(argv[1], "record") == 0) return record(argc, argv);
    if (strcmp(argv[1], "clicks") == 0) return clicks(argc, argv);
    if (strcmp(argv[1], "play") == 0) return play(argc, argv);
    return usage();
}
