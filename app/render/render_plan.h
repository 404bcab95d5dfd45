// app/render/render_plan.h: a video's arithmetic, with no window, file or encoder: which samples
// each 20 ms tick analyses, which tick each frame shows, which samples play during a frame, and
// the container a file name asks for. Pure functions; any thread.
#pragma once
#include <cstdint>
#include <string>

// The window's tick: 50 a second of music time.
constexpr int TICKS_PER_SECOND = 50;
// Frames a second a video may have.
constexpr int FPS_MIN = 1;
constexpr int FPS_MAX = 240;

// What the file name's suffix asks for.
enum class Container { Mp4, Mkv, Webm };

// The sample, at `rate` a second, that tick `tick` (0 at the music's first sample) analyses up to:
// its window is the samples just before it.
std::int64_t tickEndSample(std::int64_t tick, int rate);
// The last tick at or before frame `frame`'s time, frame / fps seconds.
std::int64_t tickOfFrame(std::int64_t frame, int fps);
// The first sample at or after frame `frame`'s time; the frame's sound runs from there to the
// next frame's.
std::int64_t frameStartSample(std::int64_t frame, int fps, int rate);
// How many frames a video of `samples` samples has: every frame whose time falls in the music.
std::int64_t framesForSamples(std::int64_t samples, int fps, int rate);
// Frame `frame`'s time in whole milliseconds, rounded down.
std::int64_t frameMilliseconds(std::int64_t frame, int fps);

// The container `path`'s suffix names (.mp4, .mkv, .webm, any case); false for anything else.
bool containerForName(const std::string& path, Container& container);
// "WxH", both even, 16 to 7680 by 16 to 4320; false for anything else.
bool readFrameSize(const char* text, int& width, int& height);
// Whole seconds as "m:ss", or "h:mm:ss" from an hour on.
std::string clockText(std::int64_t seconds);
