// Which decoder a music file's first bytes choose.
#include "motion/audio_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {
AudioFormat sniff(const std::string& bytes) {
    return sniffAudioFormat(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}
}  // namespace

TEST(AudioFormat, Id3TagAndFrameSyncAreMp3) {
    EXPECT_EQ(sniff(std::string("ID3\x04\x00\x00\x00\x00\x00\x21", 10)), AudioFormat::Mp3);
    EXPECT_EQ(sniff(std::string("\xff\xfb\x90\x64", 4)), AudioFormat::Mp3);
}

TEST(AudioFormat, RiffWaveIsWav) {
    EXPECT_EQ(sniff(std::string("RIFF\x24\x08\x00\x00WAVEfmt ", 16)), AudioFormat::Wav);
}

TEST(AudioFormat, RiffOfAnotherKindIsNotWav) {
    EXPECT_EQ(sniff(std::string("RIFF\x24\x08\x00\x00" "AVI LIST", 16)), AudioFormat::Mp3);
}

TEST(AudioFormat, OggSIsOgg) {
    EXPECT_EQ(sniff(std::string("OggS\x00\x02\x00\x00", 8)), AudioFormat::Ogg);
}

TEST(AudioFormat, FlacMarkerIsFlac) {
    EXPECT_EQ(sniff(std::string("fLaC\x00\x00\x00\x22", 8)), AudioFormat::Flac);
}

// A tracker or MIDI decoder would accept these and, on a device file, read without end.
TEST(AudioFormat, TrackerAndMidiContentIsTriedAsMp3) {
    EXPECT_EQ(sniff("MThd\x00\x00\x00\x06"), AudioFormat::Mp3);
    EXPECT_EQ(sniff("Extended Module: "), AudioFormat::Mp3);
    EXPECT_EQ(sniff("IMPM"), AudioFormat::Mp3);
}

TEST(AudioFormat, ShortOrEmptyHeadsAreTriedAsMp3) {
    EXPECT_EQ(sniff(""), AudioFormat::Mp3);
    EXPECT_EQ(sniff("Ogg"), AudioFormat::Mp3);
    EXPECT_EQ(sniff("RIFF\x24\x08\x00\x00WAV"), AudioFormat::Mp3);
}

namespace {
std::string littleEndian(std::uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

std::string bigEndian(std::uint32_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

std::size_t readString(void* file, std::uint64_t offset, unsigned char* into, std::size_t count) {
    const std::string& bytes = *static_cast<const std::string*>(file);
    if (offset >= bytes.size()) return 0;
    const std::size_t got = std::min<std::size_t>(count, bytes.size() - offset);
    std::memcpy(into, bytes.data() + offset, got);
    return got;
}

DecoderView viewOf(std::string bytes) {
    return viewForDecoder(sniff(bytes), readString, &bytes);
}

// The bytes as the decoder is shown them.
std::string seenByDecoder(const std::string& bytes) {
    const DecoderView view = viewOf(bytes);
    EXPECT_EQ(view.problem, nullptr);
    std::string seen = bytes;
    for (int p = 0; p < view.patchCount; ++p) {
        const BytePatch& patch = view.patches[p];
        seen.replace(patch.offset, patch.count, reinterpret_cast<const char*>(patch.bytes), patch.count);
    }
    return view.start < seen.size() ? seen.substr(view.start) : "";
}

std::string id3Tag(const std::string& frames, char flags = 0) {
    const auto size = static_cast<std::uint32_t>(frames.size());
    std::string synchsafe;
    for (int shift = 21; shift >= 0; shift -= 7) synchsafe += static_cast<char>((size >> shift) & 0x7F);
    return std::string("ID3\x03\x00", 5) + flags + synchsafe + frames;
}

// An artist frame longer than the mixer's tag reader can hold.
std::string longArtist() {
    return "TPE1" + bigEndian(3000, 4) + std::string(2, '\0') + std::string(1, '\0') +
           std::string(2999, 'x');
}

std::string chunk(const std::string& id, const std::string& body) {
    return id + littleEndian(static_cast<std::uint32_t>(body.size()), 4) + body;
}

std::string riffWave(const std::string& chunks) {
    return "RIFF" + std::string("\x00\x00\x00\x00", 4) + "WAVE" + chunks;
}

// PCM, `channels` channels at 8000 Hz, 8 bits.
std::string formatChunk(std::uint32_t channels) {
    return chunk("fmt ", littleEndian(1, 2) + littleEndian(channels, 2) + littleEndian(8000, 4) +
                             littleEndian(8000 * channels, 4) + littleEndian(channels, 2) +
                             littleEndian(8, 2));
}

const std::string SOME_DATA = chunk("data", std::string(64, '\x80'));

std::string flacBlock(int type, bool last, const std::string& body) {
    return std::string(1, static_cast<char>((last ? 0x80 : 0) | type)) +
           bigEndian(static_cast<std::uint32_t>(body.size()), 3) + body;
}
}  // namespace

// A title or artist over about 1.5 kB overran a stack buffer in the mixer's tag reader, and one of
// 64 kB crashed the program: the decoder is shown the audio after the tags.
TEST(DecoderView, Mp3StartsAfterItsId3Tags) {
    const std::string audio = std::string("\xff\xfb\x90\x64", 4) + std::string(413, '\x55');
    EXPECT_EQ(seenByDecoder(audio), audio);
    EXPECT_EQ(seenByDecoder(id3Tag(longArtist()) + audio), audio);
    // Tags one after another, one of them with a footer.
    EXPECT_EQ(seenByDecoder(id3Tag("") + id3Tag(longArtist(), 0x10) + std::string(10, 'F') + audio),
              audio);
    // A tag that claims to run on past the end leaves the decoder nothing to misread.
    const DecoderView lying = viewOf(std::string("ID3\x04\x00\x00\x7f\x7f\x7f\x7f", 10) + audio);
    EXPECT_EQ(lying.problem, nullptr);
    EXPECT_EQ(lying.start, 10u + 0x0FFFFFFF);
}

TEST(DecoderView, WavId3ChunksAreRenamedJunk) {
    const std::string before = riffWave(formatChunk(2));
    const std::string tagged = before + chunk("id3 ", id3Tag(longArtist())) + SOME_DATA +
                               chunk("ID3 ", id3Tag(longArtist()));
    std::string expected = tagged;
    expected.replace(before.size(), 4, "JUNK");
    expected.replace(tagged.size() - chunk("ID3 ", id3Tag(longArtist())).size(), 4, "JUNK");
    EXPECT_EQ(seenByDecoder(tagged), expected);
}

// An empty comment was a null pointer to the mixer's FLAC reader.
TEST(DecoderView, FlacCommentBlocksBecomePadding) {
    const std::string info = flacBlock(0, false, std::string(34, '\x10'));
    const std::string comment = std::string(8, '\0') + littleEndian(1, 4) + littleEndian(0, 4);
    const std::string flac = "fLaC" + info + flacBlock(4, false, comment) +
                             flacBlock(1, false, std::string(5, '\0')) + flacBlock(4, true, comment);
    std::string expected = flac;
    expected[4 + info.size()] = '\x01';
    expected[flac.size() - comment.size() - 4] = '\x81';
    EXPECT_EQ(seenByDecoder(flac), expected);
    // Blocks after the last are audio, and left alone.
    const std::string audio = "fLaC" + info + flacBlock(1, true, "") + flacBlock(4, true, comment);
    EXPECT_EQ(seenByDecoder(audio), audio);
}

// The mixer's WAV decoder keeps the count in a byte and divides by it: 256 channels crashed the
// program with a division by zero.
TEST(DecoderView, WavChannelCountsTheDecoderCannotHoldAreRefused) {
    for (std::uint32_t channels : {1u, 2u, 6u, 255u}) {
        EXPECT_EQ(viewOf(riffWave(formatChunk(channels) + SOME_DATA)).problem, nullptr) << channels;
    }
    for (std::uint32_t channels : {0u, 256u, 257u, 512u, 0xFC00u, 0xFFFFu}) {
        EXPECT_NE(viewOf(riffWave(formatChunk(channels) + SOME_DATA)).problem, nullptr) << channels;
    }
}

TEST(DecoderView, EveryWavFormatChunkIsFoundWhereverItStands) {
    const std::string good = formatChunk(2), bad = formatChunk(256);
    // Behind an odd-sized chunk and a large one, the next chunk follows straight on.
    const std::string before = chunk("LIST", std::string(7, 'x')) + chunk("junk", std::string(70000, 0));
    EXPECT_EQ(viewOf(riffWave(before + good + SOME_DATA)).problem, nullptr);
    EXPECT_NE(viewOf(riffWave(before + bad + SOME_DATA)).problem, nullptr);
    // A second format chunk replaces the first in the decoder, so it is checked too.
    EXPECT_NE(viewOf(riffWave(good + SOME_DATA + bad)).problem, nullptr);
    // A chunk of length 0 is stepped over, not taken for the end.
    EXPECT_NE(viewOf(riffWave(chunk("pad ", "") + bad + SOME_DATA)).problem, nullptr);
    // Cut short: no channel count to check, and none for the decoder to divide by.
    EXPECT_NE(viewOf(riffWave(chunk("fmt ", "\x01\x00\x02"))).problem, nullptr);
    EXPECT_NE(viewOf(riffWave(good.substr(0, 10))).problem, nullptr);
    // No format chunk at all is the decoder's to refuse; it does so without crashing.
    EXPECT_EQ(viewOf(riffWave(SOME_DATA)).problem, nullptr);
}

TEST(DecoderView, EndlessChainsOfEmptyChunksOrBlocksEndAtTheLimit) {
    struct Endless {
        const char* name;
        int reads;
    };
    // Zero-length chunks or blocks, one after another, for as long as anyone reads.
    const ReadBytesAt readEndless = [](void* file, std::uint64_t, unsigned char* into,
                                       std::size_t count) -> std::size_t {
        auto& endless = *static_cast<Endless*>(file);
        ++endless.reads;
        std::memset(into, 0, count);
        std::memcpy(into, endless.name, std::min(count, std::strlen(endless.name)));
        return count;
    };
    Endless wav{"pad ", 0}, flac{"\x02", 0};
    EXPECT_NE(viewForDecoder(AudioFormat::Wav, readEndless, &wav).problem, nullptr);
    EXPECT_EQ(wav.reads, CHUNK_LIMIT);
    EXPECT_NE(viewForDecoder(AudioFormat::Flac, readEndless, &flac).problem, nullptr);
    EXPECT_EQ(flac.reads, CHUNK_LIMIT);
    // Tag after tag: no more places to hide them than the view has room for.
    Endless tags{"id3 ", 0};
    EXPECT_NE(viewForDecoder(AudioFormat::Wav, readEndless, &tags).problem, nullptr);
    EXPECT_EQ(tags.reads, VIEW_PATCH_LIMIT + 1);
}
