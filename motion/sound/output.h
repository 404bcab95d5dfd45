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
// Each tick: polls the sound server behind the output and follows it (closing and opening the
// device off this thread), and tends the tracks while it is open. Says in one line when the
// server goes and when the music is back. GLUT thread.
void followSoundServer();

enum class OutputState {
    Open,  // the tracks play on it, and may be changed
    Lost,  // its server went: closed, or being closed or opened again; nothing may touch the mixer
    Gone,  // closed for good: nothing can play
};
// GLUT thread.
OutputState outputState();
