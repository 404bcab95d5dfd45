// Which decoder a music file's first bytes choose.
#include "motion/audio_format.h"

#include <gtest/gtest.h>

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
