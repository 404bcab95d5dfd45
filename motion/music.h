// motion/music.h: the looping music and the spectrum of what is being heard.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "motion/sound/spectrum.h"
#include "motion/sound/tags.h"

// The spectrum of the latest fetch, SPECTRUM_SIZE amplitudes (a full-scale sine centred on a bin
// reads 1.0 there). All zero until a fetch finds music; always finite.
extern float spectrum[SPECTRUM_SIZE];

// The files, folders and playlists to play, as the command line names them; none: "1.mp3" in the
// working directory. Starts listing them, on a thread of its own (motion/sound/library.h). Before
// startMusic; without it, startMusic plays "1.mp3".
void chooseMusic(std::vector<std::string> operands);
// Instead of playing anything, listen to what the default output plays, through the sound server.
// Before startMusic.
void listenToDefaultOutput();
// Opens the default audio output and plays the tracks in turn as they are listed, the list over
// and over (one track loops without a gap). A track that cannot play when its turn comes says why
// in one line on stderr and is passed over; if the output fails, or no track can play, the program
// runs on without sound. Call once, from the GLUT thread. At exit, the audio and the listing stop
// before anything they use is destroyed.
void startMusic();
// The track `step` (1 or -1) places on from the one playing, wrapping round; nothing while one
// track plays or the output is lost. GLUT thread.
void skipTrack(int step);
// Fills `spectrum` from the SPECTRUM_WINDOW samples that end with the one being heard now (when
// listening, the newest the server has recorded). Leaves it as it was when nothing plays. GLUT
// thread; allocates nothing while the output works.
// When the sound server behind the output goes away it says so in one line, and from then on
// looks for the server every 2 s; once it answers, the default output is opened again, off this
// thread, and the music goes on from where it was last heard (from its start if the decoder cannot
// seek), with one line more.
void fetchSpectrum();
// Space: pauses the music where it is (the figure rests, as in silence), or plays it on from
// there. Nothing while listening, or while the output is lost. GLUT thread.
void togglePause();
// Whether the music is paused.
bool musicPaused();
// True once for each track that starts from its beginning, with its tags, when the command line
// named the music; never for "1.mp3" played by default. GLUT thread, each tick.
bool trackStarted(TrackTags& tags);
// The tags of the track playing now, whatever named it; false when none plays. GLUT thread.
bool nowPlaying(TrackTags& tags);

// The file of the track playing now, as it was listed.
std::string playingTrackPath();

// What the desktop's media controls see and do; GLUT thread.
// Whether music plays on the output (not listening): it opened, and a track played.
bool musicControllable();
// Pauses the music, or plays it on; Stop pauses it at the start of its track. Nothing while the
// output is lost.
void pauseMusic(bool pause);
void stopMusicAtStart();
// Counts the tracks started from their beginning: a new number is a new track playing.
unsigned trackNumber();
// Seconds into the track playing, as far as it is decoded; negative where its decoder cannot tell
// (nor seek). Where it can seek, goes to `seconds` into it (true).
double musicSeconds();
bool seekMusic(double seconds);
// The music's own volume, 0 to 1, as it stands or set (clamped).
double musicVolume();
void setMusicVolume(double volume);
// How many tracks are listed so far that can play, as far as is known.
std::size_t musicTrackCount();
// Whether music is heard: playing and not paused, or, listening, sound within the last minute.
bool musicHeard();
