// A playlist's bytes as a libFuzzer target, read both as M3U and as PLS. Every entry must be a
// path that opens the file it names: not empty, no NUL inside, and a relative one under the
// playlist's folder. Built with DANCER_REPLAY, it replays the files named on its command line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "motion/sound/playlist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const PlaylistKind kind : {PlaylistKind::M3u, PlaylistKind::Pls}) {
        for (const std::string& entry : readPlaylist(text, kind, "/lists/")) {
            if (entry.empty() || entry.find('\0') != std::string::npos) std::abort();
            if (entry[0] != '/' && !isWebAddress(entry)) std::abort();
        }
    }
    return 0;
}

#ifdef DANCER_REPLAY
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    return argc > 1 ? 0 : 1;
}
#endif
