// motion/sound/messages.h: the program's lines on stderr. Each says what happened to one thing the
// user named or uses: a file, a folder, a playlist, the audio output.
#pragma once
#include <string>

// How the lines name the audio output, whichever device it is.
extern const char AUDIO_OUTPUT[];

// `name` with its control characters and the bytes that are not UTF-8 escaped (\e, \n, \x9b, ...),
// so that it can neither drive a terminal nor make two lines. Pure; any thread.
std::string escapedName(const char* name);
// "dancer: WHAT: MESSAGE" and a newline, as one write, WHAT escaped; from any thread.
void tellUser(const char* what, const char* message);
// One line for what cannot play: "dancer: WHAT: REASON; skipped", or "; running without music"
// when nothing else is left to try.
void reportUnplayable(const char* what, const char* reason, bool othersLeft);
