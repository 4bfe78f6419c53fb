/* The library's side of the echo benchmark: a host on the public C interface only.
 *
 *   mivo-echo-host --out CAPTURE.raw --stamps STAMPS.txt --seconds S [--play FAR.raw]
 *                  [--pause-at S --pause-ms M]
 *
 * Starts the library, prints "ready", and on the line "go" from standard input begins to play
 * FAR.raw (48 kHz mono s16) while it records the library's 16 kHz capture for S seconds. The
 * capture is read 10 ms at a time from the start; after every read the stamps file gets
 * "<CLOCK_MONOTONIC ns> <samples so far>", so that the time a sample reached this host is known.
 * With --pause-at, the host stops writing for M ms once S seconds of FAR.raw are written, as a
 * host that falls behind would (the playback underruns). After S seconds it prints "finished"
 * and waits, still running, for a line on standard input (so that its threads can be measured),
 * then prints "go <ns>" and "played <frames>". */
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <mivo_voice_io.h>

enum { captureChunk = 160, playbackChunk = 480 };

static int64_t monotonicNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

struct Writer {
    mivo_voice_io* voice;
    const int16_t* frames;
    size_t frameCount;
    size_t pauseAt;         /* frame at which writing stops for pauseMs; 0: never */
    int pauseMs;
    atomic_llong goNs;      /* 0 until "go" arrived */
    atomic_int finishing;   /* the capture side is done: stop writing */
    atomic_int failed;
    char failure[512];
};

static void* writePlayback(void* argument) {
    struct Writer* writer = argument;
    /* Wait for "go" with a deadline, so that a parent that never says it cannot hang us. */
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    char line[16] = {0};
    if (poll(&input, 1, 20000) <= 0 || read(STDIN_FILENO, line, sizeof line - 1) <= 0 || strncmp(line, "go", 2) != 0) {
        snprintf(writer->failure, sizeof writer->failure, "no \"go\" on standard input");
        atomic_store(&writer->failed, 1);
        return NULL;
    }
    atomic_store(&writer->goNs, (long long)monotonicNs());
    int32_t result = 1;
    for (size_t offset = 0; offset < writer->frameCount && result == 1 && !atomic_load(&writer->finishing);
         offset += playbackChunk) {
        size_t count = writer->frameCount - offset;
        if (count > playbackChunk) count = playbackChunk;
        if (writer->pauseAt > 0 && offset <= writer->pauseAt && writer->pauseAt < offset + count) {
            struct timespec pause = {writer->pauseMs / 1000, (long)(writer->pauseMs % 1000) * 1000000L};
            nanosleep(&pause, NULL);
        }
        result = mivo_voice_io_write_playback(writer->voice, writer->frames + offset, (int32_t)count);
    }
    if (result < 0 && !atomic_load(&writer->finishing)) {
        mivo_voice_io_copy_last_error(writer->voice, writer->failure, (int32_t)sizeof writer->failure);
        atomic_store(&writer->failed, 1);
    }
    return NULL;
}

static int16_t* readRaw(const char* path, size_t* count) {
    FILE* file = fopen(path, "rb");
    if (!file) return NULL;
    fseek(file, 0, SEEK_END);
    const long bytes = ftell(file);
    fseek(file, 0, SEEK_SET);
    int16_t* frames = malloc(bytes > 0 ? (size_t)bytes : 1);
    *count = frames ? fread(frames, 2, (size_t)(bytes > 0 ? bytes : 0) / 2, file) : 0;
    fclose(file);
    return frames;
}

static const char* option(int argc, char** argv, const char* name) {
    for (int i = 1; i + 1 < argc; i += 2)
        if (strcmp(argv[i], name) == 0) return argv[i + 1];
    return NULL;
}

int main(int argc, char** argv) {
    const char* playPath = option(argc, argv, "--play");
    const char* outPath = option(argc, argv, "--out");
    const char* stampsPath = option(argc, argv, "--stamps");
    const char* secondsText = option(argc, argv, "--seconds");
    const double seconds = secondsText ? atof(secondsText) : 0.0;
    if (!outPath || !stampsPath || seconds <= 0) {
        fputs("usage: mivo-echo-host --out CAPTURE.raw --stamps STAMPS.txt --seconds S [--play FAR.raw]\n", stderr);
        return 2;
    }
    size_t frameCount = 0;
    int16_t* frames = NULL;
    if (playPath && !(frames = readRaw(playPath, &frameCount))) {
        fprintf(stderr, "mivo-echo-host: cannot read %s: %s\n", playPath, strerror(errno));
        return 1;
    }
    FILE* out = fopen(outPath, "wb");
    FILE* stamps = fopen(stampsPath, "w");
    if (!out || !stamps) {
        fprintf(stderr, "mivo-echo-host: cannot write %s or %s: %s\n", outPath, stampsPath, strerror(errno));
        return 1;
    }

    mivo_voice_io* voice = mivo_voice_io_create();
    if (mivo_voice_io_start(voice) != 0) {
        char text[512];
        mivo_voice_io_copy_last_error(voice, text, (int32_t)sizeof text);
        fprintf(stderr, "mivo-echo-host: start failed: %s\n", text);
        mivo_voice_io_destroy(voice);
        return 1;
    }
    const int64_t startedNs = monotonicNs();
    printf("ready\n");
    fflush(stdout);

    const char* pauseAtText = option(argc, argv, "--pause-at");
    const char* pauseMsText = option(argc, argv, "--pause-ms");
    struct Writer writer = {.voice = voice,
                            .frames = frames,
                            .frameCount = frameCount,
                            .pauseAt = pauseAtText ? (size_t)(atof(pauseAtText) * 48000.0) : 0,
                            .pauseMs = pauseMsText ? atoi(pauseMsText) : 0};
    pthread_t writerThread;
    pthread_create(&writerThread, NULL, writePlayback, &writer);

    /* Timestamps are kept in memory and written at the end, so that file I/O does not delay reads. */
    const size_t maximumReads = (size_t)((seconds + 30.0) * 100.0) + 100;
    int64_t* readNs = malloc(maximumReads * sizeof *readNs);
    uint64_t* readTotals = malloc(maximumReads * sizeof *readTotals);
    size_t reads = 0;
    uint64_t total = 0;
    int16_t captured[captureChunk];
    int status = 0;
    for (;;) {
        const int64_t now = monotonicNs();
        const long long go = atomic_load(&writer.goNs);
        if (go != 0 && (double)(now - go) >= seconds * 1e9) break;
        if (atomic_load(&writer.failed) || (double)(now - startedNs) >= (seconds + 25.0) * 1e9) {
            fprintf(stderr, "mivo-echo-host: %s\n", writer.failure[0] ? writer.failure : "session did not finish in time");
            status = 1;
            break;
        }
        const int32_t got = mivo_voice_io_read_capture(voice, captured, captureChunk, 200);
        if (got < 0) {
            char text[512];
            mivo_voice_io_copy_last_error(voice, text, (int32_t)sizeof text);
            fprintf(stderr, "mivo-echo-host: capture ended (%d): %s\n", got, text);
            status = 1;
            break;
        }
        if (got == 0) continue;
        const int64_t arrived = monotonicNs();
        total += (uint64_t)got;
        fwrite(captured, 2, (size_t)got, out);
        if (reads < maximumReads) {
            readNs[reads] = arrived;
            readTotals[reads] = total;
            ++reads;
        }
    }
    /* Still running: the caller measures the library's threads now. */
    printf("finished\n");
    fflush(stdout);
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    char line[16];
    if (poll(&input, 1, 10000) > 0 && read(STDIN_FILENO, line, sizeof line) < 0) status = 1;
    atomic_store(&writer.finishing, 1);
    mivo_voice_io_interrupt_playback(voice);
    mivo_voice_io_stop(voice);
    pthread_join(writerThread, NULL);
    if (status == 0 && atomic_load(&writer.failed)) {
        fprintf(stderr, "mivo-echo-host: playback failed: %s\n", writer.failure);
        status = 1;
    }
    for (size_t i = 0; i < reads; ++i) fprintf(stamps, "%lld %llu\n", (long long)readNs[i], (unsigned long long)readTotals[i]);
    fclose(out);
    fclose(stamps);
    printf("go %lld\nplayed %llu\n", (long long)atomic_load(&writer.goNs),
           (unsigned long long)mivo_voice_io_played_frames(voice));
    mivo_voice_io_destroy(voice);
    free(readNs);
    free(readTotals);
    free(frames);
    return status;
}
