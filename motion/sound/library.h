// motion/sound/library.h: the music the command line names (files, folders with every folder below
// them, playlists), listed in a process of its own as the tracks that play in turn.
#pragma once
#include <string>
#include <vector>

// What plays when the command line names nothing: a relative path, looked up in the working
// directory.
extern const char MUSIC_FILE[];

// One listed track: a file to try when its turn comes, or something named that holds nothing to
// play, with why, said when its turn comes.
struct ListedTrack {
    std::string path;
    std::string whyNot;  // empty: a file to try
};

// Whether name `a` comes before `b` as a file manager lists a folder: runs of digits by their value
// ("2 ..." before "10 ..."), the rest by the user's locale regardless of case; names that still tie
// by their bytes.
bool comesBeforeInFolder(const std::string& a, const std::string& b);

// Starts listing what `operands` name, in their order, in a process of its own (call it before
// any thread starts):
// - a folder gives the music files in it and in every folder below it, depth first, each folder's
//   entries in folder order, files and folders together. Music is told by its first bytes, whatever
//   its name; hidden entries, folders already walked and folders that cannot be read are passed
//   over. A folder named with no music anywhere below gives its name with why;
// - a name ending in .m3u, .m3u8 or .pls (any case) is a playlist: each entry is listed as if it
//   were an operand, in its place; a web address gives itself with why, and a playlist already
//   being read is passed over;
// - anything else is a file, judged when its turn comes.
// No operands: MUSIC_FILE. Call once.
void startListing(std::vector<std::string> operands);
// Moves the tracks listed since the last call to the end of `tracks`, without waiting. True once
// everything is listed and taken. GLUT thread.
bool takeListedTracks(std::vector<ListedTrack>& tracks);
// Ends the listing where it is, without waiting for it: one stuck in a file system that does not
// answer is left to the system. GLUT thread, or at exit.
void stopListing();
