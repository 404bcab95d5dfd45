#include "motion/sound/spectrum.h"

#include <kiss_fftr.h>

#include <cmath>

namespace {
struct Analysis {
    kiss_fftr_cfg fft;
    float window[SPECTRUM_WINDOW];
    float amplitudeScale;  // 2 / sum of the window
    float windowed[SPECTRUM_WINDOW];
    kiss_fft_cpx bins[SPECTRUM_SIZE + 1];
};

// Built on first use and kept for the life of the process, like the rest of the audio path.
Analysis& analysis() {
    static Analysis* const built = [] {
        auto* a = new Analysis{};
        a->fft = kiss_fftr_alloc(SPECTRUM_WINDOW, 0, nullptr, nullptr);
        // The periodic Hann window: its transform is zero beyond the neighbouring bins, so a
        // bin-centred sine reads its exact amplitude and leaks nothing into the far bins.
        const double pi = std::acos(-1.0);
        double sum = 0;
        for (int n = 0; n < SPECTRUM_WINDOW; ++n) {
            a->window[n] = static_cast<float>(0.5 - 0.5 * std::cos(2 * pi * n / SPECTRUM_WINDOW));
            sum += a->window[n];
        }
        a->amplitudeScale = static_cast<float>(2 / sum);
        return a;
    }();
    return *built;
}
}  // namespace

void analyseSpectrum(const float* samples, float* amplitudes) {
    Analysis& a = analysis();
    for (int n = 0; n < SPECTRUM_WINDOW; ++n) {
        a.windowed[n] = samples[n] * a.window[n];
    }
    kiss_fftr(a.fft, a.windowed, a.bins);
    for (int k = 0; k < SPECTRUM_SIZE; ++k) {
        const kiss_fft_cpx bin = a.bins[k];
        amplitudes[k] = std::sqrt(bin.r * bin.r + bin.i * bin.i) * a.amplitudeScale;
    }
}
