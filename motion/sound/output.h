// motion/sound/output.h: the default audio output's life. It is opened once and the tracks play on
// it; when the sound server behind it goes it is closed, and once the server answers again it is
// opened again and the music goes on from where it was last heard.
#pragma once

// The output's rate in Hz; the tap sees stereo float at this rate.
constexpr int OUTPUT_RATE = 44100;

// Opens the default output and plays the tracks on it. False, with one line, when the output
// cannot open or no track can play; the device is then given back. At exit the audio stops before
// anything it uses is destroyed. GLUT thread, once.
bool startOutput();
// Each tick: polls the sound server behind the output and follows it (off this thread where that
// can wait). Says in one line when it goes and when the music is back.
void followSoundServer();
// Whether the output is open and its tracks may be changed. GLUT thread.
bool outputPlaying();
