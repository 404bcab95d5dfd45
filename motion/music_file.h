// motion/music_file.h: the music file as the mixer is shown it. With music.cpp it makes up the audio
// wrapper, the only code that speaks SDL, so it names the mixer's types as the mixer's header does.
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
