#include "motion/sound/audio_tap.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <mutex>

namespace {
constexpr std::int64_t NS_PER_SECOND = 1000000000;
constexpr std::int64_t RING_MASK = TAP_RING_SIZE - 1;

std::mutex tapLock;
// Guarded by tapLock.
float ring[TAP_RING_SIZE];       // mono sample i of the output sits at ring[i & RING_MASK]
std::int64_t samplesHandedOver = 0;
std::int64_t lastHandOverTime = 0;  // tapClock, ns
// Set by startTap while no hand-over can arrive, read-only otherwise.
int tapRate = 44100;
int tapQueuedFrames = 0;
int tapLateFrames = 0;
TapClock tapClock = steadyNanoseconds;

// The device plays nothing beyond full scale. A NaN, which fails both comparisons, becomes -1, so
// the spectrum stays finite whatever a decoder produces.
float withinFullScale(float sample) {
    return sample > 1.0f ? 1.0f : (sample >= -1.0f ? sample : -1.0f);
}
}  // namespace

std::int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t heardSampleCount(std::int64_t handedOver, std::int64_t lastHandOverNs,
                              std::int64_t nowNs, int outputRate, int queuedFrames,
                              int lateFrames) {
    const std::int64_t queued = std::min<std::int64_t>(queuedFrames, handedOver);
    const std::int64_t queueNs = queued * NS_PER_SECOND / outputRate;
    const std::int64_t lateNs = lateFrames * NS_PER_SECOND / outputRate;
    const std::int64_t sinceNs = std::max<std::int64_t>(0, nowNs - lastHandOverNs);
    if (sinceNs < queueNs) {
        return handedOver - queued + sinceNs * outputRate / NS_PER_SECOND;
    }
    if (sinceNs - queueNs < lateNs) {
        return handedOver;
    }
    // A ring's worth of silence makes every window silent; stopping there also keeps the product
    // below from overflowing, whatever the gap.
    const std::int64_t silentNs = sinceNs - queueNs - lateNs;
    if (silentNs >= TAP_RING_SIZE * NS_PER_SECOND / outputRate) {
        return handedOver + TAP_RING_SIZE;
    }
    return handedOver + silentNs * outputRate / NS_PER_SECOND;
}

void startTap(int outputRate, int queuedFrames, int lateFrames, TapClock clock) {
    const std::lock_guard<std::mutex> hold(tapLock);
    std::fill(std::begin(ring), std::end(ring), 0.0f);
    samplesHandedOver = 0;
    lastHandOverTime = 0;
    tapRate = outputRate;
    tapQueuedFrames = queuedFrames;
    tapLateFrames = lateFrames;
    tapClock = clock;
}

void tapMixedOutput(const float* stereoFrames, int frameCount) {
    const std::int64_t now = tapClock();
    const std::lock_guard<std::mutex> hold(tapLock);
    for (int frame = 0; frame < frameCount; ++frame) {
        const float mono = 0.5f * (stereoFrames[2 * frame] + stereoFrames[2 * frame + 1]);
        ring[(samplesHandedOver + frame) & RING_MASK] = withinFullScale(mono);
    }
    samplesHandedOver += frameCount;
    lastHandOverTime = now;
}

void readHeardWindow(float* samples, int count) {
    const std::lock_guard<std::mutex> hold(tapLock);
    const std::int64_t now = tapClock();
    const std::int64_t end =
        heardSampleCount(samplesHandedOver, lastHandOverTime, now, tapRate, tapQueuedFrames,
                         tapLateFrames);
    const std::int64_t oldestKept = std::max<std::int64_t>(0, samplesHandedOver - TAP_RING_SIZE);
    for (int i = 0; i < count; ++i) {
        const std::int64_t index = end - count + i;
        const bool kept = index >= oldestKept && index < samplesHandedOver;
        samples[i] = kept ? ring[index & RING_MASK] : 0.0f;
    }
}
