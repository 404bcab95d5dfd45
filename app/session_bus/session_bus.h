// app/session_bus/session_bus.h: the program's one connection to the desktop's session bus,
// through sd-bus. On it the music is a media player the desktop's controls and media keys drive;
// listening, it follows the desktop's media players; and it asks the desktop not to blank the
// screen. It lives on the GLUT thread and is only ever polled: nothing here waits on the bus.
// Without a session bus, or once it has gone, nothing here does anything, and nothing is said.
#pragma once
#include <string>
#include <vector>

#include "motion/sound/streams.h"
#include "motion/sound/tags.h"

// Connects, if a session bus answers, and offers the music playing as the media player
// "org.mpris.MediaPlayer2.dancer" (".instance" and the process id after it where another dancer
// has the name). Once, after startMusic, with music playing.
void offerMediaPlayer();
// Connects, if a session bus answers, and follows the desktop's media players from now on.
void followDesktopPlayers();
// Each tick: handles what has come, then tells the bus what has changed. Quit ends the program
// here, with status 0.
void pollSessionBus();
// Asks the desktop's screen saver (and the desktop portal, where one runs) not to blank or lock
// the screen for idleness (true), or lets it again. Asked back at exit too.
void inhibitIdleness(bool inhibit);
// Following, true once each time the desktop's players have changed (come, gone, started or stopped
// playing, been named, their process known), with all of them in `players`; the first time once the
// bus has told of all those there were as following began, or at once without a bus.
bool desktopPlayersChanged(std::vector<BusPlayer>& players);
// Following, the players whose tracks are named: any, or only the one with this unique bus name.
void nameOnlyPlayer(const std::string& busName, bool any);
// The desktop's media players now, asked of the bus and waited for (2 s at most);
// none without a session bus. For a command that answers and exits, not for the window.
std::vector<BusPlayer> askDesktopPlayers();
// Following, true once each time a desktop player that plays starts another track, with its
// title and artist; false when none plays.
bool desktopTrackStarted(TrackTags& tags);
// The title and artist of what a desktop player plays now; false when none plays.
bool desktopNowPlaying(TrackTags& tags);
