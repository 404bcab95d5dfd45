#include "motion/music.h"

#include <SDL_mixer.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <string>
#include <utility>

#include "motion/sound/audio_tap.h"
#include "motion/sound/library.h"
#include "motion/sound/output.h"
#include "motion/sound/sound_server.h"
#include "motion/sound/tags.h"
#include "motion/sound/tracks.h"

float spectrum[SPECTRUM_SIZE] = {};

namespace {
bool musicStarted = false;      // the output opened and music played
bool listeningInstead = false;  // nothing plays; what the desktop plays is heard
ListenTo listenedTo = ListenTo::Everything;
std::string listenedApp;        // listening to one application: the name it was given
bool musicChosen = false;       // the listing has started
bool musicNamed = false;        // the command line named what plays
bool stoppedAtStart = false;    // Stop: paused at the track's start until played again
unsigned startsNamed = 0;       // track starts already named in the window
unsigned startsRead = 0;        // the track start whose tags `playingTags` holds
TrackTags playingTags;
PlayerState state;
// Listening, a minute with nothing but silence is no music.
constexpr auto SILENCE_IS_NO_MUSIC = std::chrono::minutes(1);
std::chrono::steady_clock::time_point lastSound;
float heardWindow[SPECTRUM_WINDOW];

bool outputOpen() {
    return musicStarted && outputState() == OutputState::Open;
}

// What the bus and the window read of the player, from the tracks and the output as they stand.
void notePlayer() {
    state.controllable = musicStarted;
    if (!musicStarted) return;
    const OutputState output = outputState();
    const bool open = output == OutputState::Open;
    state.paused = tracksPaused();
    if (!state.paused) stoppedAtStart = false;
    state.canPlay = open && tracksLeft();
    if (output == OutputState::Gone || stoppedAtStart) {
        state.status = PlayerStatus::Stopped;
    } else if (!open || state.paused) {
        state.status = PlayerStatus::Paused;
    } else {
        state.status = PlayerStatus::Playing;
    }
    const bool sameTrack = state.track == tracksStarted();
    state.track = tracksStarted();
    state.path = newestTrack();
    // Lost, the music stands where it was last heard.
    if (open) {
        const double seconds = decodedSeconds();
        // A track alone goes round again within the mixer: its place jumps back to the start.
        if (sameTrack && seconds >= 0 && seconds + 0.5 < state.seconds) ++state.jumps;
        state.seconds = seconds;
        state.length = trackSeconds();
    }
    state.volume = static_cast<double>(tracksVolume()) / MIX_MAX_VOLUME;
    state.tracks = tracksListed();
}
}  // namespace

void chooseMusic(std::vector<std::string> operands) {
    musicNamed = !operands.empty();
    startListing(std::move(operands));
    musicChosen = true;
}

void listenToDesktop(ListenTo to, const std::string& app) {
    listeningInstead = true;
    listenedTo = to;
    listenedApp = app;
}

void startMusic() {
    if (listeningInstead) {
        startListening(OUTPUT_RATE, listenedTo, listenedApp);
        return;
    }
    if (!musicChosen) chooseMusic({});
    musicStarted = startOutput();
    // Nothing will play what is listed.
    if (!musicStarted) stopListing();
    notePlayer();
}

void fetchSpectrum() {
    if (listeningInstead) {
        keepListening();
    } else if (musicStarted) {
        followSoundServer();
        notePlayer();
    } else {
        return;
    }
    readHeardWindow(heardWindow, SPECTRUM_WINDOW);
    analyseSpectrum(heardWindow, spectrum);
    if (std::any_of(std::begin(spectrum), std::end(spectrum), [](float v) { return v > 0; })) {
        lastSound = std::chrono::steady_clock::now();
    }
}

const PlayerState& player() {
    return state;
}

void skipTrack(int step) {
    if (!outputOpen()) return;
    stepTracks(step);
    notePlayer();
}

void togglePause() {
    pauseMusic(!state.paused);
}

void pauseMusic(bool pause) {
    if (!outputOpen()) return;
    pauseTracks(pause);
    notePlayer();
}

void stopMusicAtStart() {
    if (!outputOpen()) return;
    pauseTracks(true);
    if (seekTracks(0)) ++state.jumps;
    stoppedAtStart = true;
    notePlayer();
}

bool seekMusic(double seconds) {
    const bool sought = outputOpen() && seekTracks(std::max(seconds, 0.0));
    if (sought) ++state.jumps;
    notePlayer();
    return sought;
}

void setMusicVolume(double volume) {
    if (!musicStarted || std::isnan(volume)) return;
    setTracksVolume(static_cast<int>(std::lround(std::clamp(volume, 0.0, 1.0) * MIX_MAX_VOLUME)));
    notePlayer();
}

bool trackStarted(TrackTags& tags) {
    if (state.track == startsNamed) return false;
    startsNamed = state.track;
    return musicNamed && nowPlaying(tags);
}

bool nowPlaying(TrackTags& tags) {
    if (state.track == 0) return false;
    // Read once a track, however often it is asked for.
    if (state.track != startsRead) playingTags = readTrackTags(state.path);
    startsRead = state.track;
    tags = playingTags;
    return true;
}

bool musicHeard() {
    if (listeningInstead) {
        return std::chrono::steady_clock::now() - lastSound < SILENCE_IS_NO_MUSIC &&
               lastSound != std::chrono::steady_clock::time_point{};
    }
    return state.status == PlayerStatus::Playing;
}
