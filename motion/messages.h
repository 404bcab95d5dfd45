// motion/messages.h: the program's lines on stderr. Each says what happened to one thing the user
// named or uses: a file, a folder, the audio output.
#pragma once

// How the lines name the audio output, whichever device it is.
extern const char AUDIO_OUTPUT[];

// "dancer: WHAT: MESSAGE" and a newline, as one write; from any thread.
void tellUser(const char* what, const char* message);
