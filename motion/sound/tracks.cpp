#include "motion/sound/tracks.h"

#include <SDL_mixer.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "motion/sound/library.h"
#include "motion/sound/messages.h"
#include "motion/sound/music_file.h"

namespace {
// The GLUT thread's. A track that cannot play is taken out when that is found. Should the one left
// stop decoding (its file shrank while playing), it stays, and the spectrum falls to the silence
// that is then heard.
std::vector<ListedTrack> tracks;
bool allListed = false;
std::size_t currentTrack = 0;
Mix_Music* currentMusic = nullptr;  // loaded from the current track; it may have ended
bool currentLoops = false;          // the current track loops in the mixer, with no end of its own
bool onMixer = false;               // between startTracks and stopTracks: the output is open
bool currentListed = false;         // the current track still stands at currentTrack
bool waitingForMusic = false;       // nothing plays: nothing listed could play yet
bool stoppedDecoding = false;       // the track left alone stopped decoding: nothing can play
bool paused = false;
int volume = MIX_MAX_VOLUME;
unsigned startedCount = 0;
std::string startedPath;
std::string currentPath;
double currentLength = -1;  // seconds, as its decoder tells; negative where it cannot
std::vector<ListedTrack> unsaid;  // tracks taken out whose lines wait to be said

// The next track, loaded ahead of its turn and handed to the mixer's thread, which starts it the
// moment the current one ends, within the buffer that one ended in. That thread takes it by
// swapping in null; this side takes it back the same way, and so learns whether it was taken.
std::atomic<Mix_Music*> handedMusic{nullptr};
std::atomic<int> handedLoops{1};
// The mixer's thread's only other word: a track ended with nothing handed, or its successor did
// not start. This side starts the music again.
std::atomic<bool> endedBare{false};
Mix_Music* nextMusic = nullptr;  // what was handed, until this side sees it taken
std::size_t nextTrack = 0;

// Runs on the mixer's thread, under its lock: it starts what was handed and waits for nothing.
void onTrackEnd() {
    Mix_Music* next = handedMusic.exchange(nullptr, std::memory_order_acq_rel);
    if (next == nullptr || Mix_PlayMusic(next, handedLoops.load(std::memory_order_relaxed)) != 0) {
        endedBare.store(true, std::memory_order_release);
    }
}

void takeListed() {
    if (!allListed) allListed = takeListedTracks(tracks);
}

// A track alone, once nothing more can be listed, loops in the mixer without a gap.
bool alone() {
    return allListed && tracks.size() == 1;
}

void noteStart(std::size_t track) {
    ++startedCount;
    startedPath = tracks[track].path;
}

// Takes out the track at `at`, which cannot play, with its line. Whether it was the last that
// could is known once another is listed or the listing has ended; until then its line waits.
void dropTrack(std::size_t at, const std::string& whyNot) {
    unsaid.push_back({tracks[at].path, whyNot});
    tracks.erase(tracks.begin() + static_cast<std::ptrdiff_t>(at));
    if (at < currentTrack) --currentTrack;
    if (at == currentTrack) currentListed = false;
}

void sayWhatFailed() {
    if (unsaid.empty() || (tracks.empty() && !allListed)) return;
    for (std::size_t i = 0; i < unsaid.size(); ++i) {
        const bool othersLeft = i + 1 < unsaid.size() || !tracks.empty();
        reportUnplayable(unsaid[i].path.c_str(), unsaid[i].whyNot.c_str(), othersLeft);
    }
    unsaid.clear();
}

// Loads the track `step` (-1, 0 or 1) places from the one at `from`, passing over in the same
// direction every one that cannot play, each taken out; sets `at` to where it stands. Null when
// nothing listed so far can play.
Mix_Music* loadTrack(std::size_t from, int step, std::size_t& at) {
    while (!tracks.empty()) {
        const std::size_t count = tracks.size();
        at = (from % count + count + static_cast<std::size_t>(step + 1) - 1) % count;
        std::string whyNot = tracks[at].whyNot;
        if (whyNot.empty()) {
            if (Mix_Music* music = loadMusicFile(tracks[at].path.c_str(), whyNot)) return music;
        }
        dropTrack(at, whyNot);
        // Forwards, the next one now stands where this one stood.
        from = at;
        if (step > 0) step = 0;
    }
    return nullptr;
}

// Starts `music` at `seconds` into it, or from its start where the decoder cannot seek; paused if
// the music is, without a sound of it.
bool startPlaying(Mix_Music* music, double seconds, bool loops) {
    const int count = loops ? -1 : 1;
    if (paused) Mix_VolumeMusic(0);
    const bool playing = (seconds > 0 && Mix_FadeInMusicPos(music, count, 0, seconds) == 0) ||
                         Mix_PlayMusic(music, count) == 0;
    if (paused) Mix_PauseMusic();
    Mix_VolumeMusic(volume);
    return playing;
}

// Takes back the track handed to the mixer's thread, or, where that thread already started it,
// makes it the current one.
void takeBackNext() {
    if (nextMusic == nullptr) return;
    Mix_Music* untaken = handedMusic.exchange(nullptr, std::memory_order_acq_rel);
    if (untaken != nullptr) {
        Mix_FreeMusic(untaken);
    } else {
        // The mixer's thread has let go of its lock since it started it: freeing the one that
        // ended waits for that lock.
        Mix_FreeMusic(std::exchange(currentMusic, nextMusic));
        currentTrack = nextTrack;
        currentListed = true;
        currentPath = tracks[nextTrack].path;
        currentLength = Mix_MusicDuration(nextMusic);
        currentLoops = handedLoops.load(std::memory_order_relaxed) < 0;
        noteStart(currentTrack);
    }
    nextMusic = nullptr;
}

// Plays the track `step` places from the current one from `seconds` into it, passing over what
// cannot play. False when nothing listed so far can play.
bool playFrom(int step, double seconds) {
    // A track handed over but not started (its turn came before it was handed) would play twice.
    takeBackNext();
    if (!currentListed && step > 0) step = 0;
    // Where the track stood, another now stands: it plays from its start.
    if (!currentListed) seconds = 0;
    std::size_t at = 0;
    Mix_Music* music = loadTrack(currentTrack, step, at);
    while (music != nullptr) {
        const bool loops = alone();
        if (startPlaying(music, seconds, loops)) {
            Mix_FreeMusic(std::exchange(currentMusic, music));
            currentTrack = at;
            currentListed = true;
            currentPath = tracks[at].path;
            currentLength = Mix_MusicDuration(music);
            currentLoops = loops;
            if (seconds == 0) noteStart(at);
            endedBare.store(false, std::memory_order_relaxed);
            waitingForMusic = false;
            return true;
        }
        const std::string whyNot = Mix_GetError();
        Mix_FreeMusic(music);
        dropTrack(at, whyNot);
        seconds = 0;
        music = loadTrack(at, step < 0 ? -1 : 0, at);
    }
    waitingForMusic = true;
    return false;
}

// Loads the track after the current one and hands it over, unless the current one loops.
void handNext() {
    if (nextMusic != nullptr || waitingForMusic || currentLoops || stoppedDecoding) return;
    std::size_t at = 0;
    Mix_Music* music = loadTrack(currentTrack, currentListed ? 1 : 0, at);
    if (music == nullptr) return;
    nextTrack = at;
    nextMusic = music;
    handedLoops.store(alone() ? -1 : 1, std::memory_order_relaxed);
    handedMusic.store(music, std::memory_order_release);
}
}  // namespace

void startTracks(double seconds) {
    onMixer = true;
    Mix_HookMusicFinished(onTrackEnd);
    takeListed();
    if (!stoppedDecoding) playFrom(0, seconds);
    sayWhatFailed();
}

void tendTracks() {
    if (!onMixer) return;
    takeListed();
    if (nextMusic != nullptr && handedMusic.load(std::memory_order_acquire) == nullptr) {
        takeBackNext();
    }
    if (endedBare.exchange(false, std::memory_order_acq_rel) && Mix_PlayingMusic() == 0) {
        if (currentLoops && !waitingForMusic) {
            // A looping track has no end of its own: its decoder ran dry, the file shrank or changed.
            const std::string decoderError = Mix_GetError();
            const std::string reason = "playback stopped (" +
                (decoderError.empty() ? "the decoder gave no more audio" : decoderError) + ")";
            reportUnplayable(currentPath.c_str(), reason.c_str(), false);
            stoppedDecoding = true;
        } else {
            waitingForMusic = true;
        }
    }
    if (waitingForMusic && !paused && !tracks.empty()) playFrom(1, 0);
    handNext();
    sayWhatFailed();
}

bool tracksLeft() {
    return !stoppedDecoding && (!tracks.empty() || !allListed);
}

void stopTracks() {
    if (!onMixer) return;
    Mix_HookMusicFinished(nullptr);
    takeBackNext();
    Mix_FreeMusic(currentMusic);
    currentMusic = nullptr;
    onMixer = false;
}

void stepTracks(int step) {
    if (!onMixer) return;
    takeListed();
    takeBackNext();
    if (tracks.size() < 2) return;
    // The track stepped to plays, paused or not.
    paused = false;
    // When every track has gone from under it, the one playing stops too, as its line says.
    if (!playFrom(step, 0)) Mix_HaltMusic();
    sayWhatFailed();
}

void pauseTracks(bool pause) {
    if (!onMixer) return;
    paused = pause;
    if (pause) {
        Mix_PauseMusic();
    } else {
        Mix_ResumeMusic();
    }
}

bool tracksPaused() {
    return paused;
}

bool seekTracks(double seconds) {
    return onMixer && !waitingForMusic && Mix_SetMusicPosition(seconds) == 0;
}

double decodedSeconds() {
    if (!onMixer || currentMusic == nullptr || waitingForMusic) return -1;
    return Mix_GetMusicPosition(currentMusic);
}

double trackSeconds() {
    return waitingForMusic ? -1 : currentLength;
}

void setTracksVolume(int newVolume) {
    volume = newVolume;
    if (onMixer) Mix_VolumeMusic(newVolume);
}

int tracksVolume() {
    return volume;
}

std::size_t tracksListed() {
    return tracks.size();
}

unsigned tracksStarted() {
    return startedCount;
}

const std::string& newestTrack() {
    return startedPath;
}
