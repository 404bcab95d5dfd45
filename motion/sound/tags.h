// motion/sound/tags.h: what a music file calls itself, from its tags, to be shown in the window.
#pragma once
#include <string>

// A track's title and artist as UTF-8, without control characters; the artist may be empty.
struct TrackNames {
    std::string title;
    std::string artist;
};

// From the file's tags, read by the format its first bytes show: ID3v2 and ID3v1 in MP3, Vorbis
// comments in Ogg and FLAC, ID3v2 or RIFF INFO in WAV. Without a title, the file's name without
// its suffix. Any thread; reads the file.
TrackNames readTrackNames(const std::string& path);
