#include "motion/sound/tracks.h"

#include <SDL_mixer.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "motion/sound/library.h"
#include "motion/sound/messages.h"
#include "motion/sound/music_file.h"

namespace {
// The tracks listed so far, and the music loaded from the one playing. They change only under the
// mixer's lock: in the hook that runs when a track ends (on the audio thread), or on another thread
// while that hook is taken away. A track that cannot play when its turn comes is taken out. Should
// the one left stop decoding (its file shrank while playing), it stays, and the spectrum falls to
// the silence that is then heard.
std::vector<ListedTrack> tracks;
bool allListed = false;
std::size_t currentTrack = 0;
Mix_Music* musicStream = nullptr;
bool playingOnce = false;  // the current track ends rather than loops
std::atomic<bool> paused{false};  // set on the GLUT thread, read where a track starts
std::atomic<int> volume{MIX_MAX_VOLUME};  // set on the GLUT thread, read where a track starts
std::atomic<std::size_t> listedCount{0};  // tracks.size(), for other threads

// The newest track started from its beginning, for the GLUT thread to name in the window: the
// count is read each tick, the path only when the count has moved.
std::mutex startedLock;
std::string startedPath;  // startedLock
std::atomic<unsigned> startedCount{0};

// Takes in what has been listed meanwhile; with `wait`, waits for at least one more track first,
// unless the listing has ended.
void takeListed(bool wait) {
    if (!allListed) allListed = takeListedTracks(tracks, wait);
    listedCount = tracks.size();
}

// Starts `music` at `seconds` into it, or from its start where the decoder cannot seek.
bool startPlaying(Mix_Music* music, double seconds) {
    playingOnce = !allListed || tracks.size() > 1;
    const int loops = playingOnce ? 1 : -1;
    // Playing ends a pause; while paused, the buffer mixed before the pause comes is silent.
    const bool stayPaused = paused.load();
    if (stayPaused) Mix_VolumeMusic(0);
    const bool playing = (seconds > 0 && Mix_FadeInMusicPos(music, loops, 0, seconds) == 0) ||
                         Mix_PlayMusic(music, loops) == 0;
    if (stayPaused) {
        Mix_PauseMusic();
        Mix_VolumeMusic(volume);
    }
    return playing;
}

// Plays the track `step` places from the current one (0: the current one) from `seconds` into it,
// passing over in the same direction every one that cannot play, each with its line. False when
// none is left.
bool playTrack(int step, double seconds) {
    takeListed(false);
    while (true) {
        // Only while every track listed so far has failed does it wait for the listing.
        if (tracks.empty()) takeListed(true);
        if (tracks.empty()) return false;
        currentTrack = (currentTrack + tracks.size() + step) % tracks.size();
        std::string whyNot = tracks[currentTrack].whyNot;
        if (whyNot.empty()) {
            Mix_Music* music = loadMusicFile(tracks[currentTrack].path.c_str(), whyNot);
            if (music != nullptr) {
                // Set before it plays: a track that ends within its first buffer runs the hook at
                // once, on the audio thread, and that plays the next and frees this one.
                Mix_Music* previous = std::exchange(musicStream, music);
                if (startPlaying(music, seconds)) {
                    Mix_FreeMusic(previous);
                    if (seconds == 0) {
                        const std::lock_guard<std::mutex> lock(startedLock);
                        startedPath = tracks[currentTrack].path;
                        startedCount.fetch_add(1, std::memory_order_release);
                    }
                    return true;
                }
                musicStream = previous;
                whyNot = Mix_GetError();
                Mix_FreeMusic(music);
            }
        }
        // Whether it is the last one left is known once another is listed or none can be.
        if (tracks.size() == 1) takeListed(true);
        reportUnplayable(tracks[currentTrack].path.c_str(), whyNot.c_str(), tracks.size() > 1);
        tracks.erase(tracks.begin() + static_cast<std::ptrdiff_t>(currentTrack));
        listedCount = tracks.size();
        // Forwards, the next one now stands where this one stood.
        step = step > 0 ? 0 : step;
        seconds = 0;
    }
}

// The mixer's hook when a track ends: on the audio thread, which is where the next one starts, so
// that it follows within the device buffer the last one ended in. A looping track's end means the
// decoder ran dry: the file has shrunk or changed under it.
void onTrackEnd() {
    if (playingOnce) {
        playTrack(1, 0);
        return;
    }
    const std::string decoderError = Mix_GetError();
    const std::string reason = "playback stopped (" +
        (decoderError.empty() ? "the decoder gave no more audio" : decoderError) + ")";
    reportUnplayable(tracks[currentTrack].path.c_str(), reason.c_str(), false);
}
}  // namespace

bool playTracks(double seconds) {
    Mix_HookMusicFinished(onTrackEnd);
    return playTrack(0, seconds);
}

void unhookTracks() {
    Mix_HookMusicFinished(nullptr);
}

void stepTracks(int step) {
    // With the hook away the audio thread changes no track, and this thread may.
    unhookTracks();
    takeListed(false);
    if (tracks.size() > 1) {
        // The track stepped to plays, paused or not.
        paused = false;
        // When every track has gone from under it, the one playing stops too, as its line says.
        if (!playTrack(step, 0)) Mix_HaltMusic();
    }
    Mix_HookMusicFinished(onTrackEnd);
}

double decodedSeconds() {
    return musicStream != nullptr ? Mix_GetMusicPosition(musicStream) : 0;
}

bool tracksPlaying() {
    return Mix_PlayingMusic() != 0;
}

void releaseTrackMusic() {
    Mix_FreeMusic(musicStream);
    musicStream = nullptr;
}

void pauseTracks(bool pause) {
    paused = pause;
    if (pause) {
        Mix_PauseMusic();
    } else {
        Mix_ResumeMusic();
    }
}

bool seekTracks(double seconds) {
    // The mixer seeks the music playing under its lock, whichever track that is by then.
    return Mix_SetMusicPosition(seconds) == 0;
}

double playedSeconds() {
    return Mix_GetMusicPosition(nullptr);
}

void setTracksVolume(int newVolume) {
    volume = newVolume;
    Mix_VolumeMusic(newVolume);
}

int tracksVolume() {
    return volume;
}

std::size_t tracksListed() {
    return listedCount;
}

bool tracksPaused() {
    return paused.load();
}

unsigned tracksStarted() {
    return startedCount.load(std::memory_order_acquire);
}

std::string newestTrack() {
    const std::lock_guard<std::mutex> lock(startedLock);
    return startedPath;
}
