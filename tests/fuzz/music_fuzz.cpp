// The music file's bytes as a libFuzzer target: they become 1.mp3 in the working directory, whose
// tags readTrackTags reads, and which loadMusicFile loads and the mixer's decoders play. The mixer's device is answered here, and its
// callback called in place of SDL's audio thread, so decoding runs flat out and always the same.
#include <SDL.h>
#include <SDL_mixer.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "motion/sound/music_file.h"
#include "motion/sound/tags.h"

static SDL_AudioSpec device;

extern "C" SDL_AudioDeviceID SDL_OpenAudioDevice(const char*, int, const SDL_AudioSpec* desired,
                                                 SDL_AudioSpec* obtained, int) {
    device = *desired;
    device.size = desired->samples * desired->channels * SDL_AUDIO_BITSIZE(desired->format) / 8;
    *obtained = device;
    return 2;  // SDL knows no device 2: its calls to lock, pause and close it do nothing
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = setenv("SDL_AUDIODRIVER", "dummy", 1) == 0 &&
                              Mix_OpenAudioDevice(44100, AUDIO_F32SYS, 2, 1024, nullptr, 0) == 0;
    if (!ready) std::abort();
    std::ofstream("1.mp3", std::ios::binary).write(reinterpret_cast<const char*>(data), size);
    readTrackTags("1.mp3");
    std::string whyNot;
    Mix_Music* music = loadMusicFile("1.mp3", whyNot);
    // The music keeps the file open; nothing is left behind where the replay runs.
    std::remove("1.mp3");
    if (music == nullptr) return 0;
    Mix_PlayMusic(music, -1);
    std::vector<Uint8> buffer(device.size);
    for (int i = 0; i < 48; ++i) {  // about a second: a short input ends and loops
        device.callback(device.userdata, buffer.data(), static_cast<int>(buffer.size()));
    }
    Mix_FreeMusic(music);
    return 0;
}
