#include "app/chores.h"

#include <GL/glut.h>

#include <utility>
#include <vector>

#include "app/pointer.h"
#include "app/session_bus/session_bus.h"
#include "app/x11_window.h"
#include "motion/music.h"
#include "motion/sound/sound_server.h"
#include "overlay/caption.h"

namespace {
bool screenKeptAwake = false;
bool pausedBefore = false;

// The desktop may blank the screen unless the figure dances full screen to music that is heard.
void keepScreenAwake() {
    const bool wanted = musicHeard() && windowFillsScreen();
    if (wanted == screenKeptAwake) return;
    screenKeptAwake = wanted;
    suspendScreenSaver(wanted);
    inhibitIdleness(wanted);
}
}  // namespace

void doFrameChores() {
    pollSessionBus();
    // Listening to one player, what the bus says of them tells whose sound to hear, and the
    // caption names only the one heard.
    std::vector<BusPlayer> players;
    if (desktopPlayersChanged(players)) hearDesktopPlayers(std::move(players));
    nameOnlyPlayer(playerHeard(), listeningToEverything());
    const int nowMs = glutGet(GLUT_ELAPSED_TIME);
    TrackTags tags;
    if (trackStarted(tags) || desktopTrackStarted(tags)) {
        showCaption(tags.title, tags.artist, nowMs);
    }
    // Paused by a key or by the desktop's controls alike.
    if (player().paused != pausedBefore) {
        pausedBefore = player().paused;
        setCaptionPaused(pausedBefore, nowMs);
    }
    hideRestingPointer(nowMs);
    keepScreenAwake();
}
