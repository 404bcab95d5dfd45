// app/render/media.h: the only code that calls FFmpeg: the music decoded for a video, and the video
// file encoded. Everything here runs on whichever one thread owns the object it is given.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/render/render_plan.h"

// The rate the music is decoded at, as the window's output plays it: the spectrum's bins assume it.
constexpr int MUSIC_RATE = 44100;

struct MusicDecoder;

// Opens `path` as the window does (a regular file, the decoder its first bytes call for, shown
// through the view that hides its tags) with FFmpeg's decoder for that format alone. Null, with why
// not in `whyNot`, when it cannot play. `seconds`: its length as its headers tell, or 0.
MusicDecoder* openMusic(const char* path, double& seconds, std::string& whyNot);
// Appends the next stretch of the music to `stereo`: interleaved left and right floats at
// MUSIC_RATE. False at its end; a file that turns bad partway ends there.
bool decodeMusic(MusicDecoder* music, std::vector<float>& stereo);
void closeMusic(MusicDecoder* music);

struct VideoSettings {
    Container container = Container::Mp4;
    int width = 800;   // pixels, even
    int height = 800;  // pixels, even
    int fps = 50;      // frames a second
    int crf = 20;      // the encoder's constant quality: lower is better and bigger
};

struct VideoWriter;

// Creates the video file at `path` (truncating it), its encoders set up for `settings`. Null, with
// why in `why`, when it cannot.
VideoWriter* openVideo(const char* path, const VideoSettings& settings, std::string& why);
// Encodes the next frame, width x height RGBA pixels with rows from the bottom, as GL reads them,
// then the sound that plays during it: `frames` stereo frames at MUSIC_RATE. False, with why, when
// the file cannot take it (a full disk).
bool writeVideo(VideoWriter* video, const unsigned char* rgba, const float* stereo, int frames,
                std::string& why);
// Drains the encoders and completes the file. False, with why, when it cannot be written.
bool finishVideo(VideoWriter* video, std::string& why);
// Closes the file, complete or not, and frees everything.
void closeVideo(VideoWriter* video);
