// motion/sound/playlist.h: the entries of a playlist file, as a player saves one.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

enum class PlaylistKind { None, M3u, Pls };

// By the name's suffix, in any case: .m3u and .m3u8 are M3U, .pls is PLS; anything else None.
PlaylistKind playlistKind(const std::string& path);
// The entries of a playlist's text, in order, as paths to list: relative ones are made relative
// to `folder` (the playlist's own, ending in '/'), file:// URLs become their percent-decoded paths,
// and web addresses stay as they are (isWebAddress). M3U gives every line but blank ones and
// # comments; PLS its FileN= values, by N. The text is UTF-8, with or without a byte-order mark.
// At most `entriesMax` entries: the first lines that give them. Pure; any thread.
std::vector<std::string> readPlaylist(const std::string& text, PlaylistKind kind,
                                      const std::string& folder, std::size_t entriesMax);
// Whether `entry` is a URL of a scheme other than file:, such as http://.
bool isWebAddress(const std::string& entry);
