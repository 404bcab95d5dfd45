// motion/sound/tracks.h: the tracks that play in turn on the mixer, taken from the listing as it
// goes on (library.h), and the music loaded from the one playing. All of it is the GLUT thread's,
// and only while the output is open: the mixer's own thread starts the next track, which this side
// loads ahead and hands it, and leaves everything else for the next tick.
#pragma once
#include <cstddef>
#include <string>

// Plays the current track from `seconds` into it (from its start where the decoder cannot seek),
// paused if the music is. Until something listed can play it plays nothing, and the output hears
// silence. From then on each track's end plays the next, the list over and over (a track alone,
// once nothing more is listed, loops without a gap). A track that cannot play says why in one line
// when it is loaded, at the latest when its turn comes, and is taken out.
void startTracks(double seconds);
// Each tick: takes what has been listed and what the mixer's thread did at a track's end, starts
// the music once something can play, and loads the next track ahead of its turn.
void tendTracks();
// Whether anything can still play: false once every track listed has failed and the listing has
// ended, or the one left stopped decoding.
bool tracksLeft();
// Takes the tracks off the mixer and frees their music: the output is about to close. A later
// startTracks loads it again.
void stopTracks();
// Plays the track `step` (1 or -1) places on from the one playing, wrapping round; nothing while
// one track is listed. When none is left, the one playing stops too.
void stepTracks(int step);
// Pauses the music where it is, or plays it on from there: the output stays open and is handed
// silence meanwhile. The pause lasts while the output is lost, and a new track plays unpaused.
void pauseTracks(bool pause);
bool tracksPaused();
// Goes to `seconds` into the track playing; false where its decoder cannot seek.
bool seekTracks(double seconds);
// Seconds into the track playing the decoder has reached; negative where it cannot tell, or
// nothing plays.
double decodedSeconds();
// The current track's length in seconds, as its decoder tells it; negative where it cannot.
double trackSeconds();
// The music's own volume, 0 to MIX_MAX_VOLUME (128); it stays through pauses and new tracks.
void setTracksVolume(int volume);
int tracksVolume();
// How many tracks are listed so far, less those that failed.
std::size_t tracksListed();
// How many tracks have started from their beginning so far (a track resumed where it was does not
// count), and the file of the newest.
unsigned tracksStarted();
const std::string& newestTrack();
