// motion/sound/spectrum.h: the amplitude spectrum of a window of mono samples.
#pragma once

// Values in one spectrum: bins 0..1023, each 44100 / 2048 Hz wide at the output rate.
constexpr int SPECTRUM_SIZE = 1024;
// Samples analysed for one spectrum.
constexpr int SPECTRUM_WINDOW = 2 * SPECTRUM_SIZE;

// Writes SPECTRUM_SIZE amplitudes of SPECTRUM_WINDOW samples: Hann window, then 2|X_k| divided by
// the window's sum, so a sine of amplitude A centred on bin k reads A there (a full-scale one 1.0).
// Samples within [-1, 1] give finite values. Allocates nothing after its first call.
void analyseSpectrum(const float* samples, float* amplitudes);
