// The spectrum's scale: where a sine lands and what it reads there.
#include "motion/spectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {
constexpr double RATE = 44100;
constexpr double BIN_HZ = RATE / SPECTRUM_WINDOW;
const double PI = std::acos(-1.0);

std::vector<float> sine(double hz, double amplitude, double phase = 0.3) {
    std::vector<float> samples(SPECTRUM_WINDOW);
    for (int n = 0; n < SPECTRUM_WINDOW; ++n) {
        samples[n] = static_cast<float>(amplitude * std::sin(2 * PI * hz * n / RATE + phase));
    }
    return samples;
}

std::vector<float> analyse(const std::vector<float>& samples) {
    std::vector<float> amplitudes(SPECTRUM_SIZE, -1.0f);
    analyseSpectrum(samples.data(), amplitudes.data());
    return amplitudes;
}

int loudestBin(const std::vector<float>& amplitudes) {
    int loudest = 0;
    for (int k = 1; k < SPECTRUM_SIZE; ++k) {
        if (amplitudes[k] > amplitudes[loudest]) loudest = k;
    }
    return loudest;
}

void expectAllFinite(const std::vector<float>& amplitudes) {
    for (int k = 0; k < SPECTRUM_SIZE; ++k) {
        ASSERT_TRUE(std::isfinite(amplitudes[k])) << "bin " << k;
    }
}
}  // namespace

TEST(Spectrum, FullScaleSineCentredOnABinReadsOne) {
    const auto amplitudes = analyse(sine(93 * BIN_HZ, 1.0));  // 2002.6 Hz
    EXPECT_EQ(loudestBin(amplitudes), 93);
    EXPECT_NEAR(amplitudes[93], 1.0, 0.01);
}

TEST(Spectrum, SinesOfKnownAmplitudeLandInTheirBinWithTheirAmplitude) {
    struct Case { int bin; double amplitude; };
    // From a bass note to near the top of the range, loud to quiet.
    for (const Case c : {Case{3, 0.8}, Case{5, 0.5}, Case{47, 0.25}, Case{200, 0.1},
                         Case{464, 0.02}, Case{1000, 0.5}, Case{1022, 0.001}}) {
        const auto amplitudes = analyse(sine(c.bin * BIN_HZ, c.amplitude));
        EXPECT_EQ(loudestBin(amplitudes), c.bin) << c.bin * BIN_HZ << " Hz";
        EXPECT_NEAR(amplitudes[c.bin], c.amplitude, 0.01 * c.amplitude) << c.bin * BIN_HZ << " Hz";
    }
}

TEST(Spectrum, SineStaysInItsBinAndItsNeighbours) {
    const auto amplitudes = analyse(sine(300 * BIN_HZ, 0.5));
    // The Hann window spreads a centred sine over one bin either side, at half the amplitude.
    EXPECT_NEAR(amplitudes[299], 0.25, 0.0025);
    EXPECT_NEAR(amplitudes[301], 0.25, 0.0025);
    for (int k = 0; k < SPECTRUM_SIZE; ++k) {
        if (k < 299 || k > 301) {
            ASSERT_LT(amplitudes[k], 1e-4) << "bin " << k;
        }
    }
}

TEST(Spectrum, SilenceGivesZeros) {
    const auto amplitudes = analyse(std::vector<float>(SPECTRUM_WINDOW, 0.0f));
    for (int k = 0; k < SPECTRUM_SIZE; ++k) {
        ASSERT_EQ(amplitudes[k], 0.0f) << "bin " << k;
    }
}

TEST(Spectrum, FullScaleDcStaysFiniteInTheLowestBins) {
    const auto amplitudes = analyse(std::vector<float>(SPECTRUM_WINDOW, 1.0f));
    expectAllFinite(amplitudes);
    EXPECT_EQ(loudestBin(amplitudes), 0);
    EXPECT_LE(amplitudes[0], 2.0f + 1e-5f);
    for (int k = 2; k < SPECTRUM_SIZE; ++k) {
        ASSERT_LT(amplitudes[k], 1e-4) << "bin " << k;
    }
}

TEST(Spectrum, FullScaleSquareStaysFiniteWithItsFundamentalAtFourOverPi) {
    // 128 samples a period: bin 16, and its odd harmonics in bins 48, 80, ...
    std::vector<float> square(SPECTRUM_WINDOW);
    for (int n = 0; n < SPECTRUM_WINDOW; ++n) {
        square[n] = (n % 128) < 64 ? 1.0f : -1.0f;
    }
    const auto amplitudes = analyse(square);
    expectAllFinite(amplitudes);
    EXPECT_EQ(loudestBin(amplitudes), 16);
    EXPECT_NEAR(amplitudes[16], 4 / PI, 0.01 * 4 / PI);
    EXPECT_NEAR(amplitudes[48], 4 / (3 * PI), 0.01 * 4 / (3 * PI));
}
