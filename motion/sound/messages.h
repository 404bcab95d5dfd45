// motion/sound/messages.h: the program's lines on stderr. Each says what happened to one thing the
// user named or uses: a file, a folder, a playlist, the audio output.
#pragma once
#include <string>

// How the lines name the audio output, whichever device it is.
extern const char AUDIO_OUTPUT[];

// "dancer: WHAT: MESSAGE" and a newline, as one write; from any thread. WHAT goes out with its
// control characters and the bytes that are not UTF-8 escaped (\e, \n, \x9b, ...), so that a name
// can neither drive the terminal nor make two lines.
void tellUser(const char* what, const char* message);
// `name` with its control characters and the bytes that are not UTF-8 escaped, as tellUser shows
// WHAT; for a line of another shape.
std::string escapedName(const char* name);
// One line for what cannot play: "dancer: WHAT: REASON; skipped", or "; running without music"
// when nothing else is left to try.
void reportUnplayable(const char* what, const char* reason, bool othersLeft);
