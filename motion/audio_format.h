// motion/audio_format.h: which decoder a music file's first bytes call for.
#pragma once
#include <cstddef>

enum class AudioFormat { Mp3, Wav, Ogg, Flac };

// How many leading bytes sniffAudioFormat looks at; fewer is fine, the file may be that short.
constexpr std::size_t SNIFF_BYTES = 12;

// ID3 tag or MPEG frame sync is MP3, RIFF....WAVE is WAV, OggS is Ogg, fLaC is FLAC, and anything
// else is tried as MP3: there is no answer that hands the bytes to a tracker or MIDI decoder, which
// would read a device file without end.
AudioFormat sniffAudioFormat(const unsigned char* bytes, std::size_t count);
