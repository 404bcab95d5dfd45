#include "motion/music.h"

#include <utility>

#include "motion/sound/audio_tap.h"
#include "motion/sound/library.h"
#include "motion/sound/output.h"
#include "motion/sound/sound_server.h"
#include "motion/sound/tracks.h"

float spectrum[SPECTRUM_SIZE] = {};

namespace {
bool musicStarted = false;      // GLUT thread: the output opened and music played
bool listeningInstead = false;  // GLUT thread: nothing plays; what the desktop plays is heard
bool musicChosen = false;       // GLUT thread: the listing has started
float heardWindow[SPECTRUM_WINDOW];
}  // namespace

void chooseMusic(std::vector<std::string> operands) {
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
