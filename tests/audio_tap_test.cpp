// The tap: which samples the GLUT thread is shown as "being heard now", on a clock the test sets.
#include "motion/audio_tap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {
constexpr int RATE = 44100;
constexpr int BUFFER = 1024;  // frames the device holds after a hand-over
constexpr std::int64_t MS = 1000000;

std::int64_t fakeNow = 0;
std::int64_t fakeClock() { return fakeNow; }

// Output sample n carries the value n / 65536: exact in a float, so a window names its samples.
float valueOf(std::int64_t n) { return static_cast<float>(n) / 65536; }

// Hands over one device buffer continuing the ramp, with the two channels apart around it.
std::int64_t handedSoFar = 0;
void handOverBuffer() {
    std::vector<float> stereo(2 * BUFFER);
    for (int f = 0; f < BUFFER; ++f) {
        stereo[2 * f] = valueOf(handedSoFar + f) + 0.25f;
        stereo[2 * f + 1] = valueOf(handedSoFar + f) - 0.25f;
    }
    tapMixedOutput(stereo.data(), BUFFER);
    handedSoFar += BUFFER;
}

class Tap : public testing::Test {
protected:
    void SetUp() override {
        fakeNow = 1000 * MS;
        handedSoFar = 0;
        startTap(RATE, BUFFER, fakeClock);
    }

    // Checks that a window of `count` read now ends with sample end - 1, where samples before the
    // first and after the last one handed over are silence.
    static void expectWindowEndsAt(std::int64_t end, int count = 2048) {
        std::vector<float> window(count, -1.0f);
        readHeardWindow(window.data(), count);
        for (int i = 0; i < count; ++i) {
            const std::int64_t n = end - count + i;
            const bool handed = n >= 0 && n < handedSoFar;
            ASSERT_EQ(window[i], handed ? valueOf(n) : 0.0f) << "window position " << i;
        }
    }
};
}  // namespace

TEST_F(Tap, BeforeTheFirstHandOverNothingIsHeard) {
    std::vector<float> window(2048, -1.0f);
    readHeardWindow(window.data(), 2048);
    EXPECT_EQ(window, std::vector<float>(2048, 0.0f));
}

TEST_F(Tap, AtAHandOverTheDeviceBufferIsStillToCome) {
    for (int i = 0; i < 4; ++i) handOverBuffer();
    expectWindowEndsAt(4 * BUFFER - BUFFER);
}

TEST_F(Tap, FirstBufferIsHeardAsItPlays) {
    handOverBuffer();
    expectWindowEndsAt(0);
    fakeNow += 10 * MS;
    expectWindowEndsAt(441);
}

TEST_F(Tap, HeardSampleAdvancesAtTheOutputRateBetweenHandOvers) {
    for (int i = 0; i < 3; ++i) handOverBuffer();
    fakeNow += 10 * MS;  // 441 samples at 44100 Hz
    expectWindowEndsAt(2 * BUFFER + 441);
    fakeNow += 10 * MS;
    expectWindowEndsAt(2 * BUFFER + 882);
}

// A hand-over up to one buffer late is jitter; later than that the output has stalled or gone, and
// what is heard from then on is silence.
TEST_F(Tap, AfterAStallSilenceIsHeard) {
    // Round the ring and more, so that the slots after the last sample hold older music.
    for (int i = 0; i < TAP_RING_SIZE / BUFFER + 3; ++i) handOverBuffer();
    const std::int64_t last = handedSoFar;
    fakeNow += 30 * MS;  // the 23.2 ms queue has played, the next hand-over is late
    expectWindowEndsAt(last);
    fakeNow += 26 * MS;  // 56 ms: 9.56 ms past a buffer's lateness, 421 samples of silence
    expectWindowEndsAt(last + 421);
    fakeNow += 50 * MS;  // the whole window is silence
    expectWindowEndsAt(last + 2626);
    // Any gap is safe, and silent however long.
    for (const std::int64_t gap : {3600000 * MS, INT64_MAX - 1000 * MS}) {
        fakeNow = 1000 * MS + gap;
        expectWindowEndsAt(last + TAP_RING_SIZE);
    }
    EXPECT_EQ(heardSampleCount(last, 0, INT64_MAX, RATE, BUFFER), last + TAP_RING_SIZE);
    // Music handed over again is heard again, from the next sample on.
    handOverBuffer();
    expectWindowEndsAt(last);
}

TEST_F(Tap, ClockBehindTheHandOverCountsAsTheHandOver) {
    for (int i = 0; i < 3; ++i) handOverBuffer();
    fakeNow -= 5 * MS;
    expectWindowEndsAt(2 * BUFFER);
}

TEST_F(Tap, WindowAcrossTheRingsWrapReadsInOrder) {
    // Enough buffers that the sample heard now has gone round the ring once and the window spans
    // the seam between its last and first slots.
    const int buffers = TAP_RING_SIZE / BUFFER + 2;
    for (int i = 0; i < buffers; ++i) handOverBuffer();
    const std::int64_t end = buffers * BUFFER - BUFFER;
    ASSERT_GT(end, TAP_RING_SIZE);
    ASSERT_LT(end - 2048, TAP_RING_SIZE);
    expectWindowEndsAt(end);
    fakeNow += 5 * MS;
    expectWindowEndsAt(end + 220);
}

TEST_F(Tap, SamplesOverwrittenInTheRingReadAsSilence) {
    for (int i = 0; i < TAP_RING_SIZE / BUFFER + 1; ++i) handOverBuffer();
    std::vector<float> window(TAP_RING_SIZE);
    readHeardWindow(window.data(), TAP_RING_SIZE);
    // The window would reach back past what the ring still holds: those samples read as 0.
    const std::int64_t end = handedSoFar - BUFFER;
    const std::int64_t oldestKept = handedSoFar - TAP_RING_SIZE;
    for (int i = 0; i < TAP_RING_SIZE; ++i) {
        const std::int64_t n = end - TAP_RING_SIZE + i;
        ASSERT_EQ(window[i], n < oldestKept ? 0.0f : valueOf(n)) << i;
    }
}

TEST_F(Tap, KeepsTheMeanOfBothChannelsWithinFullScale) {
    const float nan = std::nanf("");
    const float stereo[] = {1.0f, 0.5f, 2.0f, 2.0f, -3.0f, 1.0f, nan, nan, 0.25f, -0.25f};
    tapMixedOutput(stereo, 5);
    fakeNow += 1 * MS;
    std::vector<float> window(5);
    readHeardWindow(window.data(), 5);
    EXPECT_EQ(window[0], 0.75f);
    EXPECT_EQ(window[1], 1.0f);
    EXPECT_EQ(window[2], -1.0f);
    EXPECT_TRUE(std::isfinite(window[3]));
    EXPECT_EQ(window[4], 0.0f);
}

// The audio thread hands over while the GLUT thread reads: every window read must be a run of
// consecutive samples, never part of one hand-over and part of another.
TEST(TapThreads, ReadsDuringHandOversSeeConsecutiveSamples) {
    startTap(RATE, BUFFER);
    std::atomic<bool> stop{false};
    std::thread audio([&stop] {
        std::vector<float> stereo(2 * BUFFER);
        std::int64_t n = 0;
        while (!stop) {
            for (int f = 0; f < BUFFER; ++f, ++n) {
                stereo[2 * f] = stereo[2 * f + 1] = valueOf(n % 65536);
            }
            tapMixedOutput(stereo.data(), BUFFER);
        }
    });
    std::vector<float> window(2048);
    int checked = 0;
    // On a busy machine the audio thread may not have run yet when the reads begin: keep reading
    // until some hand-overs have been seen, within reason.
    for (int read = 0; read < 2000 || (checked == 0 && read < 2000000); ++read) {
        if (checked == 0) std::this_thread::yield();
        readHeardWindow(window.data(), 2048);
        for (int i = 1; i < 2048; ++i) {
            if (window[i - 1] == 0.0f || window[i] == 0.0f) continue;  // start, or the ramp's wrap
            ASSERT_EQ(window[i] - window[i - 1], valueOf(1)) << "read " << read << " at " << i;
            ++checked;
        }
    }
    stop = true;
    audio.join();
    EXPECT_GT(checked, 0);
}
