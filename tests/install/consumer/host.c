/* A minimal C host built against an installed tree: it must compile as C, link, and run. */
#include <mivo_voice_io.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    mivo_voice_io* voice = mivo_voice_io_create();
    if (!voice) return 1;
    char text[256];
    /* A fresh instance has no error text and no played frames. */
    if (mivo_voice_io_copy_last_error(voice, text, (int32_t)sizeof text) != 0 || text[0] != '\0') return 2;
    if (mivo_voice_io_played_frames(voice) != 0) return 3;
    mivo_voice_io_stop(voice);
    int16_t samples[160];
    if (mivo_voice_io_read_capture(voice, samples, 160, 1000) != -1) return 4;
    mivo_voice_io_destroy(voice);
    puts("host ok");
    return 0;
}
