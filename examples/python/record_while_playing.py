#!/usr/bin/env python3
"""Records 3 s of echo-cancelled microphone audio while playing a 440 Hz tone.

A ctypes host of the library's C interface. Usage:
    python3 record_while_playing.py [path/to/libMivoVoiceIO.so] [out.wav]
"""
import array
import ctypes
import math
import sys
import threading
import wave

library = ctypes.CDLL(sys.argv[1] if len(sys.argv) > 1 else "libMivoVoiceIO.so.0")
handle = ctypes.c_void_p
int16_p = ctypes.POINTER(ctypes.c_int16)

library.mivo_voice_io_create.restype = handle
library.mivo_voice_io_create.argtypes = []
library.mivo_voice_io_destroy.restype = None
library.mivo_voice_io_destroy.argtypes = [handle]
library.mivo_voice_io_start.restype = ctypes.c_int32
library.mivo_voice_io_start.argtypes = [handle]
library.mivo_voice_io_stop.restype = None
library.mivo_voice_io_stop.argtypes = [handle]
library.mivo_voice_io_read_capture.restype = ctypes.c_int32
library.mivo_voice_io_read_capture.argtypes = [handle, int16_p, ctypes.c_int32, ctypes.c_int32]
library.mivo_voice_io_write_playback.restype = ctypes.c_int32
library.mivo_voice_io_write_playback.argtypes = [handle, int16_p, ctypes.c_int32]
library.mivo_voice_io_played_frames.restype = ctypes.c_uint64
library.mivo_voice_io_played_frames.argtypes = [handle]
library.mivo_voice_io_wait_playback.restype = ctypes.c_int32
library.mivo_voice_io_wait_playback.argtypes = [handle]
library.mivo_voice_io_interrupt_playback.restype = ctypes.c_int32
library.mivo_voice_io_interrupt_playback.argtypes = [handle]
library.mivo_voice_io_copy_last_error.restype = ctypes.c_int32
library.mivo_voice_io_copy_last_error.argtypes = [handle, ctypes.c_char_p, ctypes.c_int32]


def last_error(voice):
    text = ctypes.create_string_buffer(512)
    library.mivo_voice_io_copy_last_error(voice, text, len(text))
    return text.value.decode("utf-8", "replace")


def play_tone(voice, seconds):
    rate, chunk = 48000, 4800  # 100 ms chunks; the library paces them
    tone = (ctypes.c_int16 * chunk)()
    for start in range(0, int(rate * seconds), chunk):
        for i in range(chunk):
            tone[i] = int(8000 * math.sin(2 * math.pi * 440 * (start + i) / rate))
        if library.mivo_voice_io_write_playback(voice, tone, chunk) != 1:
            return
    library.mivo_voice_io_wait_playback(voice)


def main():
    voice = library.mivo_voice_io_create()
    try:
        if library.mivo_voice_io_start(voice) != 0:
            sys.exit("start failed: " + last_error(voice))
        player = threading.Thread(target=play_tone, args=(voice, 3.0))
        player.start()
        recorded = array.array("h")
        block = (ctypes.c_int16 * 1600)()  # 100 ms at 16 kHz
        while len(recorded) < 3 * 16000:
            got = library.mivo_voice_io_read_capture(voice, block, len(block), 1000)
            if got < 0:
                sys.exit("capture ended: " + last_error(voice))
            recorded.extend(block[:got])
        player.join()
        print("played frames:", library.mivo_voice_io_played_frames(voice))
        out = sys.argv[2] if len(sys.argv) > 2 else "recorded.wav"
        with wave.open(out, "wb") as file:
            file.setnchannels(1)
            file.setsampwidth(2)
            file.setframerate(16000)
            file.writeframes(recorded.tobytes())
        print("wrote", out)
    finally:
        library.mivo_voice_io_stop(voice)
        library.mivo_voice_io_destroy(voice)


if __name__ == "__main__":
    main()
