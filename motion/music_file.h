// motion/music_file.h: the music file as the mixer is shown it. Part of the audio wrapper, the only
// code that speaks SDL: include it only where SDL_mixer is known.
#pragma once
#include <SDL_mixer.h>

// The music file, a relative path: looked up in the working directory.
extern const char MUSIC_FILE[];

// The one line a failure earns: "dancer: WHAT: REASON; running without music" on stderr.
void reportNoMusic(const char* what, const char* reason);

// Opens MUSIC_FILE as a regular file and loads it with the decoder its first bytes call for,
// through a view that hides its tags. Returns null after reporting why not. Any thread; the mixer
// then reads the file on its own thread, where the view allocates nothing.
Mix_Music* loadMusicFile();
