// motion/sound/sound_server.h: the program's one connection to the sound server, in the PulseAudio
// protocol that PulseAudio and PipeWire's PulseAudio service both speak. It either watches the
// server the music plays through, or records what the default output plays. It lives on the GLUT
// thread and is only ever polled: nothing here waits on the server. A connection that fails, or is
// not ready 2 s after it was begun, is dropped and begun again 2 s after the last.
#pragma once
#include <string>
#include <vector>

#include "motion/sound/streams.h"

// The watched server as the last poll found it.
enum class WatchedServer {
    Absent,  // no connection is ready: none yet, or the server never answered
    There,   // a connection is ready
    Gone,    // the ready connection has just failed: the server went (once; then Absent)
};

// Watches the server, without starting one, from now on.
void watchSoundServer();
// Polls the watch, each tick. A server that never answered is not gone: SDL may play through one
// that does not speak the PulseAudio protocol.
WatchedServer pollSoundServer();
// Drops the ready connection, to be made again at the next try: the server is then There anew.
void watchSoundServerAgainLater();

// Records, stereo float at `rate` Hz into the tap, what `to` hears: the default output's monitor,
// following the default output as it changes; or the one stream of `app` (cleaned), or of the
// desktop's media player, that plays, following the streams as they come, go and move. Says in one
// line when there is no server to listen to or it goes, then tries again every 2 s, and says when
// it listens again, and to what.
void startListening(int rate, ListenTo to, const std::string& app);
// Hands the tap what has been recorded since the last call; tries again when it is time to.
void keepListening();
// The desktop's media players, each time the session bus tells of a change (names cleaned).
// Listening to the desktop's player waits for the first of these; without a bus, an empty list.
void hearDesktopPlayers(std::vector<BusPlayer> players);
// The unique bus name of the player whose stream is heard; empty when none or everything is.
std::string playerHeard();
// Whether all the default output plays is listened to: asked for, or no media player to hear.
bool listeningToEverything();
// The streams playing into the server's outputs now, waited for (3 s at most); false, with the
// reason in `why`, when no server answers. For a command that answers and exits.
bool listStreams(std::vector<SoundStream>& streams, std::string& why);
// How long ago the sink played the newest sample handed over, in seconds, as the server's timing
// tells it: negative when that sample is still to be played; NaN while nothing is recorded.
double listeningLagSeconds();
