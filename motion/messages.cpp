#include "motion/messages.h"

#include <cstdio>

const char AUDIO_OUTPUT[] = "default audio output";

void tellUser(const char* what, const char* message) {
    std::fprintf(stderr, "dancer: %s: %s\n", what, message);
}
