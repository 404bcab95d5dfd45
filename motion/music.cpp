#include "motion/music.h"

#include <SDL_mixer.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <utility>

#include "motion/sound/audio_tap.h"
#include "motion/sound/library.h"
#include "motion/sound/output.h"
#include "motion/sound/sound_server.h"
#include "motion/sound/tags.h"
#include "motion/sound/tracks.h"

float spectrum[SPECTRUM_SIZE] = {};

namespace {
bool musicStarted = false;      // GLUT thread: the output opened and music played
bool listeningInstead = false;  // GLUT thread: nothing plays; what the desktop plays is heard
bool musicChosen = false;       // GLUT thread: the listing has started
bool musicNamed = false;        // GLUT thread: the command line named what plays
unsigned startsNamed = 0;       // GLUT thread: track starts already named in the window
unsigned startsRead = 0;        // GLUT thread: the track start whose tags `playingTags` holds
TrackTags playingTags;
// Listening, a minute with nothing but silence is no music.
constexpr auto SILENCE_IS_NO_MUSIC = std::chrono::minutes(1);
std::chrono::steady_clock::time_point lastSound;  // GLUT thread
float heardWindow[SPECTRUM_WINDOW];
}  // namespace

void chooseMusic(std::vector<std::string> operands) {
    musicNamed = !operands.empty();
    startListing(std::move(operands));
    musicChosen = true;
}

void listenToDefaultOutput() {
    listeningInstead = true;
}

void startMusic() {
    if (listeningInstead) {
        startListening(OUTPUT_RATE);
        return;
    }
    if (!musicChosen) chooseMusic({});
    musicStarted = startOutput();
    // Nothing will play what is listed.
    if (!musicStarted) stopListing();
}

void skipTrack(int step) {
    if (musicStarted && outputPlaying()) stepTracks(step);
}

void fetchSpectrum() {
    if (listeningInstead) {
        keepListening();
    } else if (musicStarted) {
        followSoundServer();
    } else {
        return;
    }
    readHeardWindow(heardWindow, SPECTRUM_WINDOW);
    analyseSpectrum(heardWindow, spectrum);
    if (std::any_of(std::begin(spectrum), std::end(spectrum), [](float v) { return v > 0; })) {
        lastSound = std::chrono::steady_clock::now();
    }
}

void togglePause() {
    pauseMusic(!musicPaused());
}

bool musicPaused() {
    return musicStarted && tracksPaused();
}

bool trackStarted(TrackTags& tags) {
    const unsigned starts = trackNumber();
    if (starts == startsNamed) return false;
    startsNamed = starts;
    return musicNamed && nowPlaying(tags);
}

bool nowPlaying(TrackTags& tags) {
    const unsigned starts = trackNumber();
    if (starts == 0) return false;
    // Read once a track, however often it is asked for.
    if (starts != startsRead) playingTags = readTrackTags(newestTrack());
    startsRead = starts;
    tags = playingTags;
    return true;
}

std::string playingTrackPath() {
    return newestTrack();
}

bool musicControllable() {
    return musicStarted;
}

void pauseMusic(bool pause) {
    if (musicStarted && outputPlaying()) pauseTracks(pause);
}

void stopMusicAtStart() {
    if (!musicStarted || !outputPlaying()) return;
    pauseTracks(true);
    seekTracks(0);
}

unsigned trackNumber() {
    return musicStarted ? tracksStarted() : 0;
}

double musicSeconds() {
    return musicStarted ? playedSeconds() : -1;
}

bool seekMusic(double seconds) {
    return musicStarted && outputPlaying() && seekTracks(std::max(seconds, 0.0));
}

double musicVolume() {
    return static_cast<double>(tracksVolume()) / MIX_MAX_VOLUME;
}

void setMusicVolume(double volume) {
    setTracksVolume(static_cast<int>(std::lround(std::clamp(volume, 0.0, 1.0) * MIX_MAX_VOLUME)));
}

std::size_t musicTrackCount() {
    return musicStarted ? tracksListed() : 0;
}

bool musicHeard() {
    if (listeningInstead) {
        return std::chrono::steady_clock::now() - lastSound < SILENCE_IS_NO_MUSIC &&
               lastSound != std::chrono::steady_clock::time_point{};
    }
    return musicStarted && outputPlaying() && !tracksPaused();
}
