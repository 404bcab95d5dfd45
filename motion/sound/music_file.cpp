#include "motion/sound/music_file.h"

#include <SDL.h>
#include <dlfcn.h>
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "motion/sound/audio_format.h"

namespace {
std::size_t readMusicFileAt(void* fd, std::uint64_t offset, unsigned char* into, std::size_t count) {
    const ssize_t got = pread(*static_cast<int*>(fd), into, count, static_cast<off_t>(offset));
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

// The music file as the mixer reads it: through a view that hides its tags (audio_format.h). The
// mixer reads it on the audio thread, so nothing here allocates.
struct MusicFileView {
    int fd;
    DecoderView view;
    Sint64 position;  // in the view
};

MusicFileView& viewOf(SDL_RWops* source) {
    return *static_cast<MusicFileView*>(source->hidden.unknown.data1);
}

Sint64 viewSize(SDL_RWops* source) {
    const MusicFileView& file = viewOf(source);
    // Asked anew each time: the file may have shrunk or grown since it was opened.
    struct stat info;
    if (fstat(file.fd, &info) != 0) return SDL_SetError("%s", std::strerror(errno));
    const std::uint64_t end = std::min(static_cast<std::uint64_t>(info.st_size), file.view.end);
    return end > file.view.start ? static_cast<Sint64>(end - file.view.start) : 0;
}

Sint64 viewSeek(SDL_RWops* source, Sint64 offset, int whence) {
    MusicFileView& file = viewOf(source);
    Sint64 base = 0;
    if (whence == RW_SEEK_CUR) {
        base = file.position;
    } else if (whence == RW_SEEK_END) {
        base = viewSize(source);
        if (base < 0) return -1;
    } else if (whence != RW_SEEK_SET) {
        return SDL_SetError("unknown seek origin");
    }
    if (offset < -base) return SDL_SetError("seek before the start");
    file.position = base + offset;
    return file.position;
}

std::size_t viewRead(SDL_RWops* source, void* into, std::size_t size, std::size_t count) {
    MusicFileView& file = viewOf(source);
    if (size == 0 || count > SIZE_MAX / size) return 0;
    auto* bytes = static_cast<unsigned char*>(into);
    const std::uint64_t from = file.view.start + static_cast<std::uint64_t>(file.position);
    // Nothing at or past the view's end is read: trailing tags stay hidden.
    const std::size_t wanted = from >= file.view.end ? 0
        : static_cast<std::size_t>(std::min<std::uint64_t>(size * count, file.view.end - from));
    std::size_t got = 0;
    while (got < wanted) {
        const std::size_t read = readMusicFileAt(&file.fd, from + got, bytes + got, wanted - got);
        if (read == 0) break;
        got += read;
    }
    for (int p = 0; p < file.view.patchCount; ++p) {
        const BytePatch& patch = file.view.patches[p];
        for (int i = 0; i < patch.count; ++i) {
            const std::uint64_t at = patch.offset + i;
            if (at >= from && at < from + got) bytes[at - from] = patch.bytes[i];
        }
    }
    file.position += static_cast<Sint64>(got);
    return got / size;
}

std::size_t viewWrite(SDL_RWops*, const void*, std::size_t, std::size_t) {
    SDL_SetError("the music file is read-only");
    return 0;
}

int viewClose(SDL_RWops* source) {
    MusicFileView* file = &viewOf(source);
    close(file->fd);
    delete file;
    SDL_FreeRW(source);
    return 0;
}

// Takes the descriptor over: it is closed with the view, or at once if no view can be made.
SDL_RWops* openView(int fd, const DecoderView& view) {
    SDL_RWops* source = SDL_AllocRW();
    if (source == nullptr) {
        close(fd);
        return nullptr;
    }
    source->size = viewSize;
    source->seek = viewSeek;
    source->read = viewRead;
    source->write = viewWrite;
    source->close = viewClose;
    source->type = SDL_RWOPS_UNKNOWN;
    source->hidden.unknown.data1 = new MusicFileView{fd, view, 0};
    return source;
}

struct Decoder {
    Mix_MusicType type;
    const char* name;
};

Decoder decoderFor(AudioFormat format) {
    switch (format) {
        case AudioFormat::Wav: return {MUS_WAV, "WAV"};
        case AudioFormat::Ogg: return {MUS_OGG, "Ogg Vorbis"};
        case AudioFormat::Flac: return {MUS_FLAC, "FLAC"};
        case AudioFormat::Mp3: break;
    }
    return {MUS_MP3, "MP3"};
}

std::string unplayable(const Decoder& decoder, const char* why) {
    return std::string("not playable as ") + decoder.name + " (" + why + ")";
}
}  // namespace

Mix_Music* loadMusicFile(const char* path, std::string& whyNot) {
    OpenedMusicFile file;
    const char* problem = nullptr;
    if (!openMusicFile(path, file, problem)) {
        whyNot = problem;
        return nullptr;
    }
    int fd = file.fd;
    const AudioFormat format = sniffAudioFormat(file.head, file.headLength);
    const Decoder decoder = decoderFor(format);
    const DecoderView view = viewForDecoder(format, readMusicFileAt, &fd, file.size);
    if (view.problem != nullptr) {
        whyNot = unplayable(decoder, view.problem);
        close(fd);
        return nullptr;
    }
    SDL_RWops* source = openView(fd, view);
    if (source == nullptr) {
        whyNot = SDL_GetError();
        return nullptr;
    }
    // The type is given, so the mixer never guesses and never reaches its tracker or MIDI
    // decoders. It closes the source whether or not the load succeeds.
    Mix_Music* music = Mix_LoadMUSType_RW(source, decoder.type, SDL_TRUE);
    if (music == nullptr) whyNot = unplayable(decoder, Mix_GetError());
    return music;
}

namespace {
// Where libmpg123 is loaded; null if it cannot be found.
const void* decoderLibrary() {
    static const void* base = [] {
        Dl_info library;
        void* anyFunction = dlsym(RTLD_NEXT, "mpg123_new");
        return anyFunction != nullptr && dladdr(anyFunction, &library) != 0 ? library.dli_fbase
                                                                            : nullptr;
    }();
    return base;
}
}  // namespace

// The mixer decodes MP3 through libmpg123 without asking it to be quiet, and libmpg123 then prints
// notes about junk and damaged frames to stderr. The mixer gets its decoder handles through this
// definition, which stands in front of the library's and makes each handle quiet.
extern "C" mpg123_handle* mpg123_new(const char* decoder, int* error) {
    using NewHandle = mpg123_handle* (*)(const char*, int*);
    static const auto libraryNew = reinterpret_cast<NewHandle>(dlsym(RTLD_NEXT, "mpg123_new"));
    if (libraryNew == nullptr) {
        if (error != nullptr) *error = MPG123_ERR;
        return nullptr;
    }
    mpg123_handle* handle = libraryNew(decoder, error);
    if (handle != nullptr) {
        mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    }
    return handle;
}

// NOTE: libmpg123 before 1.33 (Debian 12 and 13) writes one warning whatever its handle is told, for
// every layer II frame whose stereo bound lies past its last subband: a damaged file, or an unusual
// one, fills the terminal with them. The library's writes come through this definition, which
// stands in front of the C library's and drops those made from inside the decoder.
extern "C" std::size_t fwrite(const void* data, std::size_t size, std::size_t count,
                              std::FILE* stream) {
    using Write = std::size_t (*)(const void*, std::size_t, std::size_t, std::FILE*);
    static const auto libraryWrite = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "fwrite"));
    if (stream == stderr && decoderLibrary() != nullptr) {
        Dl_info caller;
        if (dladdr(__builtin_return_address(0), &caller) != 0 &&
            caller.dli_fbase == decoderLibrary()) {
            return count;
        }
    }
    return libraryWrite(data, size, count, stream);
}
