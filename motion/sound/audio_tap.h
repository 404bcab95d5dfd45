// motion/sound/audio_tap.h: the mixed output as it goes to the device, and the part being heard
// now.
//
// This is the one place where samples cross threads: the audio thread hands each mixed buffer to
// tapMixedOutput, the GLUT thread reads a window of it with readHeardWindow. When the program
// listens to the sound server instead, the GLUT thread hands over what it recorded.
#pragma once
#include <cstdint>

// Monotonic time in nanoseconds.
using TapClock = std::int64_t (*)();
std::int64_t steadyNanoseconds();

// Mono samples the tap keeps: a window read, plus the device buffer, must fit in it.
constexpr int TAP_RING_SIZE = 1 << 15;

// How many samples have been heard, given `handedOver` samples handed over so far, the last
// hand-over at `lastHandOverNs` and the time now: those handed over, less the `queuedFrames` a
// hand-over still waits to be heard (a device's buffer; none for what is recorded as it plays),
// plus what the output rate plays in the time since. A hand-over up to `lateFrames` late holds it
// at `handedOver`; later than that the output has stalled or gone, and from then on silence is
// heard, counted on past `handedOver` (up to TAP_RING_SIZE samples, after which every window is
// silent anyway; before the first hand-over it is all silence). Any gap, however long, is safe.
// Should the output come back, the count steps back to the new buffer: the few milliseconds of
// silence counted past the last sample were never really heard.
std::int64_t heardSampleCount(std::int64_t handedOver, std::int64_t lastHandOverNs,
                              std::int64_t nowNs, int outputRate, int queuedFrames,
                              int lateFrames);

// Empties the tap and fixes the output it describes: nothing heard so far. Call while no hand-over
// can arrive: before the first, or once the output is detached from the tap.
void startTap(int outputRate, int queuedFrames, int lateFrames,
              TapClock clock = steadyNanoseconds);

// Audio thread: one buffer of interleaved stereo float frames as it is handed to the device, or as
// it was recorded. Keeps (L+R)/2 of each, limited to [-1, 1] as the device plays it, and notes the
// time. Allocates nothing and holds the lock only for the copy.
void tapMixedOutput(const float* stereoFrames, int frameCount);

// GLUT thread: the `count` mono samples ending with the one being heard now, oldest first; zeros
// stand for anything before the first sample, no longer kept, or heard after the output stalled.
void readHeardWindow(float* samples, int count);
