// A playlist's bytes as a libFuzzer target, read both as M3U and as PLS. Every entry must be a
// path that opens the file it names: not empty, no NUL inside, and a relative one under the
// playlist's folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "motion/sound/playlist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const PlaylistKind kind : {PlaylistKind::M3u, PlaylistKind::Pls}) {
        for (const std::string& entry : readPlaylist(text, kind, "/lists/", size)) {
            if (entry.empty() || entry.find('\0') != std::string::npos) std::abort();
            if (entry[0] != '/' && !isWebAddress(entry)) std::abort();
        }
    }
    return 0;
}
