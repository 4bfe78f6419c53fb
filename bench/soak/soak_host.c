/* The soak's host: a program on the public C interface only, run for a long time while the
 * default devices change and the sound server restarts under it.
 *
 *   mivo-soak-host --play FAR.raw --seconds S
 *
 * FAR.raw (48 kHz mono s16) is one far-end utterance. A writer thread plays it, waits for it to
 * play out, pauses and plays it again; the main thread reads the capture 10 ms at a time and
 * interrupts the playback every few seconds, as a host does when the near end talks. When a read
 * returns -2 the host starts again (every other time after a stop), and retries the start until
 * a server answers. Standard output, one line per event (times are CLOCK_MONOTONIC ns):
 *
 *   pid <pid>                          before anything else
 *   started <ns> <failed attempts>     a start succeeded
 *   start_failed <ns> <text>
 *   ended <ns> <result> <text>         a read returned -1 or -2
 *   segment <first ns> <last ns> <samples> <inner first ns> <inner last ns> <inner samples>
 *                                      a run's capture: samples read after its first read up to its
 *                                      last, and the same without the run's first and last second
 *   blocked <entry point> <calls> <longest ns>
 *   error <count> <text>               each failure text seen, with how often
 *   result <entry point> <value> <count>
 *   played <frames> <decreases>        played_frames at the end, and how often it went back
 *   after_destroy <threads> <fds>      this process once the handle is gone
 */
#include <dirent.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <mivo_voice_io.h>

enum { captureChunk = 160, playbackChunk = 480, readTimeoutMs = 200, interruptEveryMs = 7000 };

static int64_t monotonicNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static void sleepMs(int milliseconds) {
    struct timespec pause = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}

/* ---- what every call cost, per entry point ---- */

enum EntryPoint { eCreate, eDestroy, eStart, eStop, eRead, eWrite, ePlayed, eWait, eInterrupt, eCopyError, eCount };
static const char* const entryNames[eCount] = {"create", "destroy", "start", "stop", "read_capture",
                                               "write_playback", "played_frames", "wait_playback",
                                               "interrupt_playback", "copy_last_error"};
static atomic_llong longestNs[eCount];
static atomic_llong callCount[eCount];

static void recordCall(enum EntryPoint entry, int64_t beganNs) {
    const long long spent = (long long)(monotonicNs() - beganNs);
    long long seen = atomic_load(&longestNs[entry]);
    while (spent > seen && !atomic_compare_exchange_weak(&longestNs[entry], &seen, spent)) {
    }
    atomic_fetch_add(&callCount[entry], 1);
}

#define TIMED(entry, call)                                                                                             \
    __extension__({                                                                                                    \
        const int64_t began_ = monotonicNs();                                                                          \
        __typeof__(call) result_ = (call);                                                                             \
        recordCall(entry, began_);                                                                                     \
        result_;                                                                                                       \
    })

/* ---- results and failure texts seen ---- */

enum { resultKinds = 5, maximumTexts = 64 };
static atomic_llong resultCount[eCount][resultKinds]; /* results -2 .. 2 */

static void countResult(enum EntryPoint entry, int32_t result) {
    if (result > 2) result = 2;
    if (result < -2) result = -2;
    atomic_fetch_add(&resultCount[entry][result + 2], 1);
}

static pthread_mutex_t textLock = PTHREAD_MUTEX_INITIALIZER;
static char seenTexts[maximumTexts][256];
static long long seenCounts[maximumTexts];
static int seenTextCount;

/* Copies the handle's last error into `text` and counts it among the texts seen. */
static void noteLastError(mivo_voice_io* voice, char* text, int32_t capacity) {
    TIMED(eCopyError, mivo_voice_io_copy_last_error(voice, text, capacity));
    pthread_mutex_lock(&textLock);
    int index = 0;
    while (index < seenTextCount && strcmp(seenTexts[index], text) != 0) ++index;
    if (index == seenTextCount && seenTextCount < maximumTexts) {
        snprintf(seenTexts[index], sizeof seenTexts[index], "%s", text);
        ++seenTextCount;
    }
    if (index < seenTextCount) ++seenCounts[index];
    pthread_mutex_unlock(&textLock);
}

static pthread_mutex_t outputLock = PTHREAD_MUTEX_INITIALIZER;

static void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    pthread_mutex_lock(&outputLock);
    vprintf(format, arguments);
    fflush(stdout);
    pthread_mutex_unlock(&outputLock);
    va_end(arguments);
}

/* ---- the far end ---- */

struct Writer {
    mivo_voice_io* voice;
    const int16_t* frames;
    size_t frameCount;
    atomic_int finishing;
    long long playedDecreases;
    uint64_t lastPlayed;
};

static void checkPlayed(struct Writer* writer) {
    const uint64_t played = TIMED(ePlayed, mivo_voice_io_played_frames(writer->voice));
    if (played < writer->lastPlayed) ++writer->playedDecreases;
    writer->lastPlayed = played;
}

/* One utterance; false when a write failed (not running: the reader is restarting). */
static int playUtterance(struct Writer* writer) {
    char text[256];
    for (size_t offset = 0; offset < writer->frameCount && !atomic_load(&writer->finishing); offset += playbackChunk) {
        size_t count = writer->frameCount - offset;
        if (count > playbackChunk) count = playbackChunk;
        const int32_t result =
            TIMED(eWrite, mivo_voice_io_write_playback(writer->voice, writer->frames + offset, (int32_t)count));
        countResult(eWrite, result);
        if (result < 0) {
            noteLastError(writer->voice, text, (int32_t)sizeof text);
            return 0;
        }
    }
    const int32_t waited = TIMED(eWait, mivo_voice_io_wait_playback(writer->voice));
    countResult(eWait, waited);
    if (waited < 0) noteLastError(writer->voice, text, (int32_t)sizeof text);
    return waited >= 0;
}

static void* writePlayback(void* argument) {
    struct Writer* writer = argument;
    while (!atomic_load(&writer->finishing)) {
        const int played = playUtterance(writer);
        checkPlayed(writer);
        sleepMs(played ? 300 : 100);
    }
    return NULL;
}

/* ---- the near end: capture, one run at a time ---- */

/* Reads of one run, kept so that its rate can be told apart from what its start and end do. */
struct Read {
    int64_t ns;
    uint64_t total; /* samples of the run up to and including this read */
};
struct Segment {
    struct Read* reads;
    size_t count, capacity;
};

static void addRead(struct Segment* segment, int64_t nowNs, int32_t got) {
    if (segment->count == segment->capacity) {
        const size_t capacity = segment->capacity ? segment->capacity * 2 : 4096;
        struct Read* grown = realloc(segment->reads, capacity * sizeof *grown);
        if (!grown) return; /* the run's rate is then measured on what fitted */
        segment->reads = grown;
        segment->capacity = capacity;
    }
    const uint64_t before = segment->count ? segment->reads[segment->count - 1].total : 0;
    segment->reads[segment->count++] = (struct Read){nowNs, before + (uint64_t)got};
}

/* The whole run, from its first read to its last, and its interior, leaving out the first and
 * the last second where starting and ending the streams may hold samples back. */
static void closeSegment(struct Segment* segment) {
    if (segment->count >= 2) {
        const struct Read* first = &segment->reads[0];
        const struct Read* last = &segment->reads[segment->count - 1];
        size_t inner = 0, outer = segment->count - 1;
        while (inner < outer && segment->reads[inner].ns < first->ns + 1000000000) ++inner;
        while (outer > inner && segment->reads[outer].ns > last->ns - 1000000000) --outer;
        say("segment %lld %lld %llu %lld %lld %llu\n", (long long)first->ns, (long long)last->ns,
            (unsigned long long)(last->total - first->total), (long long)segment->reads[inner].ns,
            (long long)segment->reads[outer].ns,
            (unsigned long long)(segment->reads[outer].total - segment->reads[inner].total));
    }
    segment->count = 0;
}

/* Starts until it works or the time is up; true when running. */
static int startUntilRunning(mivo_voice_io* voice, int64_t deadlineNs) {
    char text[256];
    long long failures = 0;
    while (monotonicNs() < deadlineNs) {
        const int32_t result = TIMED(eStart, mivo_voice_io_start(voice));
        countResult(eStart, result);
        if (result == 0) {
            say("started %lld %lld\n", (long long)monotonicNs(), failures);
            return 1;
        }
        noteLastError(voice, text, (int32_t)sizeof text);
        say("start_failed %lld %s\n", (long long)monotonicNs(), text);
        ++failures;
        sleepMs(100);
    }
    return 0;
}

static void captureUntil(mivo_voice_io* voice, int64_t deadlineNs) {
    struct Segment segment = {0};
    int16_t captured[captureChunk];
    char text[256];
    long long ends = 0;
    int64_t nextInterruptNs = monotonicNs() + (int64_t)interruptEveryMs * 1000000;
    int running = startUntilRunning(voice, deadlineNs);
    while (running && monotonicNs() < deadlineNs) {
        const int32_t got = TIMED(eRead, mivo_voice_io_read_capture(voice, captured, captureChunk, readTimeoutMs));
        countResult(eRead, got);
        const int64_t now = monotonicNs();
        if (got > 0) addRead(&segment, now, got);
        if (got < 0) {
            noteLastError(voice, text, (int32_t)sizeof text);
            say("ended %lld %d %s\n", (long long)now, got, text);
            closeSegment(&segment);
            /* Half the time the host gives up the old run first, half the time it just starts. */
            if (++ends % 2 == 0) TIMED(eStop, (mivo_voice_io_stop(voice), 0));
            running = startUntilRunning(voice, deadlineNs);
        }
        if (now >= nextInterruptNs) {
            countResult(eInterrupt, TIMED(eInterrupt, mivo_voice_io_interrupt_playback(voice)));
            nextInterruptNs = now + (int64_t)interruptEveryMs * 1000000;
        }
    }
    closeSegment(&segment);
    free(segment.reads);
}

/* ---- the process, as seen from inside ---- */

static int countEntries(const char* path) {
    DIR* directory = opendir(path);
    if (!directory) return -1;
    int count = 0;
    for (struct dirent* entry; (entry = readdir(directory));) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(directory);
    return count - (strcmp(path, "/proc/self/fd") == 0 ? 1 : 0); /* opendir's own descriptor */
}

static void report(const struct Writer* writer) {
    for (int entry = 0; entry < eCount; ++entry) {
        say("blocked %s %lld %lld\n", entryNames[entry], (long long)atomic_load(&callCount[entry]),
            (long long)atomic_load(&longestNs[entry]));
        for (int kind = 0; kind < resultKinds; ++kind) {
            const long long count = atomic_load(&resultCount[entry][kind]);
            if (count > 0) say("result %s %d %lld\n", entryNames[entry], kind - 2, count);
        }
    }
    for (int index = 0; index < seenTextCount; ++index) say("error %lld %s\n", seenCounts[index], seenTexts[index]);
    say("played %llu %lld\n", (unsigned long long)writer->lastPlayed, writer->playedDecreases);
    say("after_destroy %d %d\n", countEntries("/proc/self/task"), countEntries("/proc/self/fd"));
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
    const char* secondsText = option(argc, argv, "--seconds");
    const double seconds = secondsText ? atof(secondsText) : 0.0;
    size_t frameCount = 0;
    int16_t* frames = playPath ? readRaw(playPath, &frameCount) : NULL;
    if (!frames || frameCount == 0 || seconds <= 0) {
        fputs("usage: mivo-soak-host --play FAR.raw --seconds S\n", stderr);
        return 2;
    }
    say("pid %d\n", (int)getpid());
    const int64_t deadlineNs = monotonicNs() + (int64_t)(seconds * 1e9);

    mivo_voice_io* voice = TIMED(eCreate, mivo_voice_io_create());
    struct Writer writer = {.voice = voice, .frames = frames, .frameCount = frameCount};
    pthread_t writerThread;
    if (pthread_create(&writerThread, NULL, writePlayback, &writer) != 0) {
        fputs("mivo-soak-host: no writer thread\n", stderr);
        return 1;
    }
    captureUntil(voice, deadlineNs);

    atomic_store(&writer.finishing, 1);
    countResult(eInterrupt, TIMED(eInterrupt, mivo_voice_io_interrupt_playback(voice)));
    TIMED(eStop, (mivo_voice_io_stop(voice), 0));
    pthread_join(writerThread, NULL);
    checkPlayed(&writer);
    TIMED(eDestroy, (mivo_voice_io_destroy(voice), 0));
    report(&writer);
    free(frames);
    return 0;
}
