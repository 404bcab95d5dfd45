// motion/sound/sound_server.h: the program's one connection to the sound server, in the PulseAudio
// protocol that PulseAudio and PipeWire's PulseAudio service both speak. It either watches the
// server the music plays through, or records what the default output plays. It lives on the GLUT
// thread and is only ever polled: nothing here waits on the server. A connection that fails, or is
// not ready 2 s after it was begun, is dropped and begun again 2 s after the last.
#pragma once

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

// Records the default output's monitor, stereo float at `rate` Hz, following the default output as
// it changes, into the tap. Says in one line when there is no server to listen to or it goes, then
// tries again every 2 s, and says when it listens again.
void startListening(int rate);
// Hands the tap what has been recorded since the last call; tries again when it is time to.
void keepListening();
// How long ago the sink played the newest sample handed over, in seconds, as the server's timing
// tells it: negative when that sample is still to be played; NaN while nothing is recorded.
double listeningLagSeconds();
