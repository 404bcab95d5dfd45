// motion/music.h: the music that plays, or that is listened to, and the spectrum of what is heard.
// The player is the GLUT thread's alone: keys, ticks and the session bus change it there through
// the calls below, and read what it is through player(). SDL's audio thread, the output's worker
// and the listing only hand it news, which fetchSpectrum takes each tick.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "motion/sound/spectrum.h"
#include "motion/sound/streams.h"
#include "motion/sound/tags.h"

// The spectrum of the latest fetch, SPECTRUM_SIZE amplitudes (a full-scale sine centred on a bin
// reads 1.0 there). All zero until a fetch finds music; always finite.
extern float spectrum[SPECTRUM_SIZE];

// The files, folders and playlists to play, as the command line names them; none: "1.mp3" in the
// working directory. Starts listing them, in a process of its own (motion/sound/library.h). Before
// startMusic; without it, startMusic plays "1.mp3".
void chooseMusic(std::vector<std::string> operands);
// Instead of playing anything, listen through the sound server to what the desktop plays: all the
// default output plays, one application (`app`, cleaned), or the desktop's media player that
// plays. Before startMusic.
void listenToDesktop(ListenTo to, const std::string& app);
// Opens the default audio output and plays the tracks in turn as they are listed, the list over
// and over (one track loops without a gap); until one is listed that can play, the output hears
// silence. A track that cannot play says why in one line on stderr and is passed over; if the
// output fails, or no track can play, the program runs on without sound. GLUT thread, once. At
// exit, the audio and the listing stop before anything they use is destroyed.
void startMusic();
// Tends the player and fills `spectrum` from the SPECTRUM_WINDOW samples that end with the one
// being heard now (when listening, the newest the server has recorded). Leaves it as it was when
// nothing plays. GLUT thread, each tick; allocates nothing while the output works.
// When the sound server behind the output goes away it says so in one line, and from then on
// looks for the server every 2 s; once it answers, the default output is opened again, off this
// thread, and the music goes on from where it was last heard (from its start if the decoder cannot
// seek), with one line more.
void fetchSpectrum();

enum class PlayerStatus { Playing, Paused, Stopped };
struct PlayerState {
    bool controllable = false;  // music plays on an output of its own, not listening
    PlayerStatus status = PlayerStatus::Stopped;  // Paused while the output is lost too; Stopped
                                                  // at the start after Stop, or when nothing can play
    bool paused = false;        // paused by the user, by a key or the desktop's controls
    bool canPlay = false;       // the output is open and something can play
    unsigned track = 0;         // tracks started from their beginning so far; 0: none yet
    std::string path;           // the newest one's file, as it was listed
    double seconds = -1;        // into the track playing, as far as decoded; < 0: cannot tell
    double length = -1;         // the track's length in seconds; < 0: unknown
    unsigned jumps = 0;         // times the place in the track moved other than by playing on
    double volume = 1;          // the music's own, 0 to 1
    std::size_t tracks = 0;     // listed so far that can play, as far as is known
};
// The player as the last tick or command left it. GLUT thread.
const PlayerState& player();

// Each a key or a desktop control; GLUT thread. Each does nothing where it cannot: listening, the
// output lost, or nothing to play.
// The track `step` (1 or -1) places on from the one playing, wrapping round; a track alone stays.
void skipTrack(int step);
// Space: pauses the music where it is (the figure rests, as in silence), or plays it on from there.
void togglePause();
void pauseMusic(bool pause);
// Pauses the music at the start of its track: Stopped until it plays again.
void stopMusicAtStart();
// Goes to `seconds` (clamped at 0) into the track playing; false where its decoder cannot seek.
bool seekMusic(double seconds);
// The music's own volume, 0 to 1 (clamped; NaN is refused); kept while the output is lost.
void setMusicVolume(double volume);

// True once for each track that starts from its beginning, with its tags, when the command line
// named the music; never for "1.mp3" played by default. GLUT thread, each tick.
bool trackStarted(TrackTags& tags);
// The tags of the track playing now, whatever named it; false when none plays. GLUT thread.
bool nowPlaying(TrackTags& tags);
// Whether music is heard: playing and not paused, or, listening, sound within the last minute.
// GLUT thread.
bool musicHeard();
