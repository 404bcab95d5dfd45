// motion/sound/audio_format.h: which decoder a music file's first bytes call for, and how to show
// the file to that decoder so that the mixer's tag readers never see a tag.
#pragma once
#include <cstddef>
#include <cstdint>

enum class AudioFormat { Mp3, Wav, Ogg, Flac };

// How many leading bytes sniffAudioFormat looks at; fewer is fine, the file may be that short.
constexpr std::size_t SNIFF_BYTES = 12;

// Reads the first bytes of the file at `path`, up to SNIFF_BYTES, into `head`; returns how many (0
// when it cannot be read). A FIFO is not waited on.
std::size_t readFileHead(const char* path, unsigned char* head);

// A music file opened to be decoded: its descriptor, its size in bytes and its first bytes.
struct OpenedMusicFile {
    int fd = -1;
    std::uint64_t size = 0;
    unsigned char head[SNIFF_BYTES] = {};
    std::size_t headLength = 0;
};
// Opens `path` to be decoded, only as a regular file that is not empty (a FIFO is refused without
// waiting for a writer), and reads its first bytes through the descriptor, so that the file cannot
// be swapped between the check and the read. False with why not, and nothing left open. Any thread.
bool openMusicFile(const char* path, OpenedMusicFile& file, const char*& whyNot);
// ID3 tag or MPEG frame sync is MP3, RIFF....WAVE is WAV, OggS is Ogg, fLaC is FLAC, and anything
// else is tried as MP3: there is no answer that hands the bytes to a tracker or MIDI decoder, which
// would read a device file without end.
AudioFormat sniffAudioFormat(const unsigned char* bytes, std::size_t count);
// Whether the first bytes are one of those four for sure, not only tried as MP3: how music is told
// from covers and notes in a folder. An MPEG frame sync must name a version and a layer.
bool looksLikeMusic(const unsigned char* bytes, std::size_t count);

// Reads up to `count` bytes at byte `offset` of a file into `into`; returns how many it read (0 at
// the end or on an error).
using ReadBytesAt = std::size_t (*)(void* file, std::uint64_t offset, unsigned char* into,
                                    std::size_t count);

// Bytes of the file replaced, as the decoder is shown it.
struct BytePatch {
    std::uint64_t offset;
    unsigned char bytes[4];
    int count;  // 1 to 4
};
constexpr int VIEW_PATCH_LIMIT = 16;
// Chunks of a WAV file, or metadata blocks of a FLAC file, looked at before giving up.
constexpr int CHUNK_LIMIT = 4096;

// The file as the mixer is to see it: from byte `start` to byte `end` (or its end, if sooner),
// with `patches` applied; or, when `problem` is set, why the mixer cannot be given the file at all.
struct DecoderView {
    std::uint64_t start;
    std::uint64_t end;
    BytePatch patches[VIEW_PATCH_LIMIT];
    int patchCount;
    const char* problem;
};

// The program shows no titles, and the mixer's tag readers are its weakest code: a long title in
// an ID3 tag overruns a stack buffer, an empty FLAC comment is a null pointer. So the view hides
// every tag: an MP3 starts after its ID3v2 tags and ends before its ID3v1 and APE tags, a WAV
// file's ID3 chunks are renamed to JUNK, and
// a FLAC file's comment blocks become padding. The mixer also leaks memory when a FLAC file
// describes its stream twice or its metadata fails after the description: a second description
// becomes padding too, and metadata that runs past the file's end is refused. So is a WAV file
// whose format chunk gives a channel count outside 1 to 255: the mixer keeps the count in a byte
// and divides by it.
// `size` is the file's, in bytes.
DecoderView viewForDecoder(AudioFormat format, ReadBytesAt read, void* file, std::uint64_t size);
