// motion/music.h: the looping music and the spectrum of what is being heard.
#pragma once
#include "motion/spectrum.h"

// The spectrum of the latest fetch, SPECTRUM_SIZE amplitudes (a full-scale sine centred on a bin
// reads 1.0 there). All zero until a fetch finds music; always finite.
extern float spectrum[SPECTRUM_SIZE];

// Opens the default audio output and plays "1.mp3" from the working directory, looping forever.
// If the output, the file or its decoding fails, writes one line to stderr saying which and why
// and the program runs on without sound. Call once, from the GLUT thread.
void startMusic();
// Fills `spectrum` from the SPECTRUM_WINDOW samples that end with the one being heard now. Leaves
// it as it was when nothing plays. GLUT thread; allocates nothing while the output works.
// When the sound server behind the output goes away it says so in one line, and from then on
// every 2 s tries to open the default output again, off this thread; once it opens, the music goes
// on from where it was last heard (from its start if the decoder cannot seek), with one line more.
void fetchSpectrum();
