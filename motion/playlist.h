// motion/playlist.h: the music the command line names, as the tracks that play in turn.
#pragma once
#include <string>
#include <vector>

// What plays when the command line names nothing: a relative path, looked up in the working
// directory.
extern const char MUSIC_FILE[];

// One line on stderr for what cannot play: "dancer: WHAT: REASON; skipped", or "; running without
// music" when nothing else is left to try.
void reportUnplayable(const char* what, const char* reason, bool othersLeft);

// Whether name `a` comes before `b` as a file manager lists a folder: runs of digits by their value
// ("2 ..." before "10 ..."), letters regardless of case; names that still tie by their bytes.
bool comesBeforeInFolder(const std::string& a, const std::string& b);

// The tracks the operands name, in order: a folder gives the music files directly inside it (by
// their first bytes, whatever their names; hidden ones left out) in folder order, anything else is
// a file, judged when its turn comes. A folder that cannot be read or holds no music says so in
// its one line. No operands: MUSIC_FILE.
std::vector<std::string> listTracks(const std::vector<std::string>& operands);
