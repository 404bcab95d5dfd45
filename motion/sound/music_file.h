// motion/sound/music_file.h: the music file as the mixer is shown it. With output.cpp and
// tracks.cpp it makes up the only code that speaks SDL, so it names the mixer's types as the
// mixer's header does.
#pragma once
#include <SDL_mixer.h>

#include <string>

// Opens `path` as a regular file and loads it with the decoder its first bytes call for, through a
// view that hides its tags. Returns null with why not in `whyNot`. Any thread; the mixer then
// reads the file on its own thread, where the view allocates nothing.
Mix_Music* loadMusicFile(const char* path, std::string& whyNot);
