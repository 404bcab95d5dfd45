// motion/sound/tracks.h: the tracks that play in turn on the mixer, taken from the listing as it
// goes on (library.h), and the music loaded from the one playing.
#pragma once
#include <cstddef>
#include <string>

// Plays the current track from `seconds` into it (from its start where the decoder cannot seek);
// from then on each track's end plays the next, on the audio thread, the list over and over (a
// track alone, once nothing more is listed, loops without a gap). A track that cannot play when
// its turn comes says why in one line and is taken out. False when none is left (then unhook the
// tracks). With the output open and nothing playing.
bool playTracks(double seconds);
// A track's end then plays no other, so that the output can close under it. Any thread.
void unhookTracks();
// Plays the track `step` (1 or -1) places on from the one playing, wrapping round; nothing while
// one track plays. When none is left, the one playing stops too. GLUT thread, the output playing.
void stepTracks(int step);
// Seconds into the current track the decoder has reached; 0 when none plays.
double decodedSeconds();
// Whether the music plays on: it stops for good only when no track is left or the last one stops
// decoding.
bool tracksPlaying();
// Frees the music loaded from the current track: the output is about to close. A later
// playTracks loads it again. With the tracks unhooked.
void releaseTrackMusic();
// Pauses the music where it is, or plays it on from there: the output stays open and is handed
// silence meanwhile. A track that plays while paused (the output opened again) starts paused; a
// step to another track plays it. GLUT thread, the output playing.
void pauseTracks(bool pause);
// Goes to `seconds` into the track playing; false where its decoder cannot seek. GLUT thread.
bool seekTracks(double seconds);
// Seconds into the track playing the decoder has reached, read under the mixer's lock; negative
// where its decoder cannot tell. Any thread.
double playedSeconds();
// The music's own volume, 0 to MIX_MAX_VOLUME (128); it stays through pauses and new tracks.
void setTracksVolume(int volume);
int tracksVolume();
// How many tracks are listed so far, less those that failed. Any thread.
std::size_t tracksListed();
// Whether the music is paused. Any thread.
bool tracksPaused();
// How many tracks have started from their beginning so far (a track resumed where it was does not
// count). Any thread, without waiting.
unsigned tracksStarted();
// The path of the newest of them. Any thread.
std::string newestTrack();
