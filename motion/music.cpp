#include "motion/music.h"

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
}

void togglePause() {
    if (musicStarted && outputPlaying()) pauseTracks(!tracksPaused());
}

bool musicPaused() {
    return musicStarted && tracksPaused();
}

bool trackStarted(TrackNames& names) {
    const unsigned starts = musicStarted ? tracksStarted() : 0;
    if (starts == startsNamed) return false;
    startsNamed = starts;
    if (!musicNamed) return false;
    names = readTrackNames(newestTrack());
    return true;
}

bool nowPlaying(TrackNames& names) {
    if (!musicStarted || tracksStarted() == 0) return false;
    names = readTrackNames(newestTrack());
    return true;
}
