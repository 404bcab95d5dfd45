// motion/sound/tags.h: what a music file calls itself, from its tags, to be shown in the window
// and to the desktop's media controls.
#pragma once
#include <string>

// A track's names, cleaned (cleanName; only the title is never empty), and its length.
struct TrackTags {
    std::string title;
    std::string artist;
    std::string album;
    int lengthMs = 0;  // milliseconds; 0 where the file does not tell
};

// From the file's tags, read by the format its first bytes show: ID3v2 and ID3v1 in MP3, Vorbis
// comments in Ogg and FLAC, ID3v2 or RIFF INFO in WAV. Without a title, the file's name without
// its suffix (titleFromPath). The length as the headers of its audio tell it. Any thread; reads
// the file.
TrackTags readTrackTags(const std::string& path);
