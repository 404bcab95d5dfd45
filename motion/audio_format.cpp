#include "motion/audio_format.h"

#include <cstring>

namespace {
bool startsWith(const unsigned char* bytes, std::size_t count, std::size_t at, const char* tag) {
    const std::size_t length = std::strlen(tag);
    return count >= at + length && std::memcmp(bytes + at, tag, length) == 0;
}
}  // namespace

AudioFormat sniffAudioFormat(const unsigned char* bytes, std::size_t count) {
    if (startsWith(bytes, count, 0, "RIFF") && startsWith(bytes, count, 8, "WAVE")) {
        return AudioFormat::Wav;
    }
    if (startsWith(bytes, count, 0, "OggS")) {
        return AudioFormat::Ogg;
    }
    if (startsWith(bytes, count, 0, "fLaC")) {
        return AudioFormat::Flac;
    }
    // ID3 tags and frame syncs (eleven set bits) are MP3, and so is everything unrecognised.
    return AudioFormat::Mp3;
}
