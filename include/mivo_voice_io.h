/* libMivoVoiceIO: full-duplex voice audio with echo cancellation.
 *
 * Record the default microphone as 16 kHz mono int16 while playing 48 kHz mono int16 to the
 * default loudspeaker; the loudspeaker's echo is removed from what the microphone hears.
 *
 * Threading: every function may be called from any thread, several at once on one handle,
 * except start, stop and destroy, which the host calls on one handle one at a time.
 * read_capture blocks up to its timeout; write_playback and wait_playback up to about 5 s.
 *
 * Handles: every function answers a handle that destroy has released, or one never handed out,
 * exactly as it answers NULL. Handle values are never reused. Nothing thrown inside gets out. */
#ifndef MIVO_VOICE_IO_H
#define MIVO_VOICE_IO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define MIVO_VOICE_IO_EXPORT __attribute__((visibility("default")))
#else
#define MIVO_VOICE_IO_EXPORT
#endif

/* Opaque handle to one voice I/O instance. */
typedef struct mivo_voice_io mivo_voice_io;

/* A new, stopped instance; never NULL. Without memory for an instance the handle answers every
 * call as NULL does. */
MIVO_VOICE_IO_EXPORT mivo_voice_io* mivo_voice_io_create(void);

/* Stops the instance and releases the handle; NULL or a released handle does nothing. Calls
 * already inside finish on the live instance; later calls get the NULL answer. */
MIVO_VOICE_IO_EXPORT void mivo_voice_io_destroy(mivo_voice_io* handle);

/* 0: running (also if it already was); -1: failed, reason in copy_last_error, or NULL handle. */
MIVO_VOICE_IO_EXPORT int32_t mivo_voice_io_start(mivo_voice_io* handle);

/* Stops capture and playback; safe in any state, any number of times; NULL does nothing. */
MIVO_VOICE_IO_EXPORT void mivo_voice_io_stop(mivo_voice_io* handle);

/* Reads `count` 16 kHz mono samples, waiting up to `timeout_milliseconds`.
 * >0: samples copied (fewer than `count` only once capture has ended); 0: timed out, or count <= 0;
 * -1: capture stopped and nothing left; -2: capture ended by a device change (or a suspended device
 * or a lost server) and nothing left, or NULL handle or destination. After -2 the run is over:
 * call start to follow the new device, or stop. */
MIVO_VOICE_IO_EXPORT int32_t mivo_voice_io_read_capture(mivo_voice_io* handle, int16_t* destination,
                                                        int32_t count, int32_t timeout_milliseconds);

/* Queues `frame_count` 48 kHz mono frames, waiting while 9600 or more are queued (up to 5 s).
 * `source` may sit at any address. 1: scheduled (also for frame_count <= 0); 0: dropped because
 * its playback was cancelled meanwhile (interrupted while it waited for room, or interrupted,
 * stopped or ended by a device change after it was admitted); -1: failed, reason in
 * copy_last_error, or NULL handle or source. */
MIVO_VOICE_IO_EXPORT int32_t mivo_voice_io_write_playback(mivo_voice_io* handle, const int16_t* source,
                                                          int32_t frame_count);

/* Frames played since creation (never reset, wraps at 2^64); 0 for a NULL handle. */
MIVO_VOICE_IO_EXPORT uint64_t mivo_voice_io_played_frames(mivo_voice_io* handle);

/* Waits up to 5 s until everything queued has played.
 * 1: all played; 0: interrupted; -1: not running, stopped meanwhile, timed out, or NULL handle. */
MIVO_VOICE_IO_EXPORT int32_t mivo_voice_io_wait_playback(mivo_voice_io* handle);

/* Drops all queued playback at once. 0; -1 for a NULL handle, or when the player could not be
 * reached (the queue is emptied all the same). */
MIVO_VOICE_IO_EXPORT int32_t mivo_voice_io_interrupt_playback(mivo_voice_io* handle);

/* Copies the last error text, NUL-terminated and cut to capacity - 1 bytes.
 * Bytes copied without the NUL; 0 for capacity <= 0, NULL handle or NULL destination. */
MIVO_VOICE_IO_EXPORT int32_t mivo_voice_io_copy_last_error(mivo_voice_io* handle, char* destination,
                                                           int32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* MIVO_VOICE_IO_H */
