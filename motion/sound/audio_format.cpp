#include "motion/sound/audio_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
bool startsWith(const unsigned char* bytes, std::size_t count, std::size_t at, const char* tag) {
    const std::size_t length = std::strlen(tag);
    return count >= at + length && std::memcmp(bytes + at, tag, length) == 0;
}

std::uint64_t littleEndian(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

std::uint64_t bigEndian(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

// ID3v2 sizes: 28 bits in four bytes of seven.
std::uint64_t synchsafe(const unsigned char* bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 7) | (bytes[i] & 0x7F);
    return value;
}

bool addPatch(DecoderView& view, std::uint64_t offset, const char* bytes, int count) {
    if (view.patchCount == VIEW_PATCH_LIMIT) {
        view.problem = "it has too many tags";
        return false;
    }
    BytePatch& patch = view.patches[view.patchCount++];
    patch.offset = offset;
    patch.count = count;
    std::memcpy(patch.bytes, bytes, count);
    return true;
}

// ID3v2 tags may follow one another; the audio starts after the last.
constexpr int ID3_TAG_LIMIT = 16;
constexpr std::size_t ID3_HEADER = 10;
constexpr unsigned char ID3_HAS_FOOTER = 0x10;

void skipId3Tags(DecoderView& view, ReadBytesAt read, void* file) {
    for (int tag = 0; tag < ID3_TAG_LIMIT; ++tag) {
        unsigned char header[ID3_HEADER];
        if (read(file, view.start, header, sizeof header) < sizeof header ||
            std::memcmp(header, "ID3", 3) != 0) {
            return;
        }
        const bool footer = (header[5] & ID3_HAS_FOOTER) != 0;
        view.start += ID3_HEADER + synchsafe(header + 6) + (footer ? ID3_HEADER : 0);
    }
}

// ID3v1 is the last 128 bytes, "TAG" first. An APE tag ends in a 32-byte footer, "APETAGEX"
// first, with the tag's length (footer included, header not) at byte 12 and its flags at 20, and
// may stand before an ID3v1 tag. A length that does not fit the file hides the footer alone, which
// is all the mixer's reader looks for.
constexpr std::uint64_t ID3V1_SIZE = 128;
constexpr std::uint64_t APE_FOOTER = 32;
constexpr std::uint64_t APE_HAS_HEADER = 0x80000000;

void cutTrailingTags(DecoderView& view, ReadBytesAt read, void* file) {
    for (int tag = 0; tag < ID3_TAG_LIMIT; ++tag) {
        unsigned char footer[APE_FOOTER];
        if (view.end >= view.start + ID3V1_SIZE &&
            read(file, view.end - ID3V1_SIZE, footer, 3) == 3 && std::memcmp(footer, "TAG", 3) == 0) {
            view.end -= ID3V1_SIZE;
        } else if (view.end >= view.start + APE_FOOTER &&
                   read(file, view.end - APE_FOOTER, footer, APE_FOOTER) == APE_FOOTER &&
                   std::memcmp(footer, "APETAGEX", 8) == 0) {
            const bool header = (littleEndian(footer + 20, 4) & APE_HAS_HEADER) != 0;
            const std::uint64_t length = littleEndian(footer + 12, 4) + (header ? APE_FOOTER : 0);
            const bool fits = length >= APE_FOOTER && length <= view.end - view.start;
            view.end -= fits ? length : APE_FOOTER;
        } else {
            return;
        }
    }
}

// A RIFF chunk: 4 bytes of name, 4 of length, then the body; the next chunk follows straight on,
// as the mixer walks them. A format chunk's body starts with the encoding (2 bytes), then the
// channel count (2 bytes).
constexpr std::uint64_t FIRST_CHUNK = 12;
constexpr std::size_t CHUNK_HEADER = 8;
constexpr std::size_t CHANNELS_AT = 2;

void hideWavTags(DecoderView& view, ReadBytesAt read, void* file) {
    std::uint64_t at = FIRST_CHUNK;
    for (int chunk = 0; chunk < CHUNK_LIMIT; ++chunk) {
        unsigned char header[CHUNK_HEADER + CHANNELS_AT + 2];
        const std::size_t got = read(file, at, header, sizeof header);
        if (got < CHUNK_HEADER) return;
        const std::uint64_t length = littleEndian(header + 4, 4);
        if (std::memcmp(header, "fmt ", 4) == 0) {
            // A chunk too short to hold a channel count gives the decoder none to divide by.
            if (length < CHANNELS_AT + 2 || got < sizeof header) {
                view.problem = "its format chunk is cut short";
                return;
            }
            const std::uint64_t channels = littleEndian(header + CHUNK_HEADER + CHANNELS_AT, 2);
            if (channels == 0 || channels > 255) {
                view.problem = "its channel count is not 1 to 255";
                return;
            }
        }
        if ((std::memcmp(header, "id3 ", 4) == 0 || std::memcmp(header, "ID3 ", 4) == 0) &&
            !addPatch(view, at, "JUNK", 4)) {
            return;
        }
        at += CHUNK_HEADER + length;
    }
    view.problem = "it has too many chunks";
}

// A FLAC metadata block: one byte of last-block flag and type, 3 bytes of length, then the body.
constexpr std::uint64_t FIRST_BLOCK = 4;
constexpr std::size_t BLOCK_HEADER = 4;
constexpr unsigned char LAST_BLOCK = 0x80;
constexpr unsigned char STREAMINFO = 0;
constexpr unsigned char PADDING = 1;
constexpr unsigned char VORBIS_COMMENT = 4;

void hideFlacTags(DecoderView& view, ReadBytesAt read, void* file) {
    std::uint64_t at = FIRST_BLOCK;
    bool streamInfoSeen = false;
    for (int block = 0; block < CHUNK_LIMIT; ++block) {
        unsigned char header[BLOCK_HEADER];
        if (read(file, at, header, sizeof header) < sizeof header) return;
        const int type = header[0] & ~LAST_BLOCK;
        const bool repeatedStreamInfo = type == STREAMINFO && streamInfoSeen;
        streamInfoSeen = streamInfoSeen || type == STREAMINFO;
        if (type == VORBIS_COMMENT || repeatedStreamInfo) {
            const char padding = static_cast<char>((header[0] & LAST_BLOCK) | PADDING);
            if (!addPatch(view, at, &padding, 1)) return;
        }
        // The mixer leaks what it made of the stream description when libFLAC fails on a later
        // block, as it does on one that runs past the end of the file.
        const std::uint64_t end = at + BLOCK_HEADER + bigEndian(header + 1, 3);
        unsigned char lastByte;
        if (end > at + BLOCK_HEADER && read(file, end - 1, &lastByte, 1) == 0) {
            view.problem = "its metadata is cut short";
            return;
        }
        if ((header[0] & LAST_BLOCK) != 0) return;
        at = end;
    }
    view.problem = "it has too many metadata blocks";
}
const char* describeFileType(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory, not a file";
    if (S_ISFIFO(mode)) return "a pipe, not a file";
    if (S_ISCHR(mode)) return "a character device, not a file";
    if (S_ISBLK(mode)) return "a block device, not a file";
    if (S_ISSOCK(mode)) return "a socket, not a file";
    return "not a regular file";
}
}  // namespace

bool openMusicFile(const char* path, OpenedMusicFile& file, const char*& whyNot) {
    // Without O_NONBLOCK a FIFO would block here until a writer came along.
    file.fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0) {
        whyNot = std::strerror(errno);
        return false;
    }
    struct stat info;
    ssize_t headLength = 0;
    whyNot = nullptr;
    if (fstat(file.fd, &info) != 0) {
        whyNot = std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        whyNot = describeFileType(info.st_mode);
    } else if ((headLength = pread(file.fd, file.head, SNIFF_BYTES, 0)) <= 0) {
        whyNot = headLength == 0 ? "empty file" : std::strerror(errno);
    }
    if (whyNot != nullptr) {
        close(file.fd);
        file.fd = -1;
        return false;
    }
    file.size = static_cast<std::uint64_t>(info.st_size);
    file.headLength = static_cast<std::size_t>(headLength);
    return true;
}

std::size_t readFileHead(const char* path, unsigned char* head) {
    // Without O_NONBLOCK a FIFO would block here until a writer came along.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t got = read(fd, head, SNIFF_BYTES);
    close(fd);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

AudioFormat sniffAudioFormat(const unsigned char* bytes, std::size_t count) {
    if (startsWith(bytes, count, 0, "RIFF") && startsWith(bytes, count, 8, "WAVE")) {
        return AudioFormat::Wav;
    }
    if (startsWith(bytes, count, 0, "OggS")) {
        return AudioFormat::Ogg;
    }
    if (startsWith(bytes, count, 0, "fLaC")) {
        return AudioFormat::Flac;
    }
    // ID3 tags and frame syncs (eleven set bits) are MP3, and so is everything unrecognised.
    return AudioFormat::Mp3;
}

bool looksLikeMusic(const unsigned char* bytes, std::size_t count) {
    if (sniffAudioFormat(bytes, count) != AudioFormat::Mp3 || startsWith(bytes, count, 0, "ID3")) {
        return true;
    }
    // Eleven set bits, then a version other than the reserved 01 and a layer other than 00 (which
    // is how an AAC stream's sync reads).
    return count >= 2 && bytes[0] == 0xFF && (bytes[1] & 0xE0) == 0xE0 &&
           (bytes[1] & 0x18) != 0x08 && (bytes[1] & 0x06) != 0;
}

DecoderView viewForDecoder(AudioFormat format, ReadBytesAt read, void* file, std::uint64_t size) {
    DecoderView view{};
    view.end = size;
    switch (format) {
        case AudioFormat::Mp3:
            skipId3Tags(view, read, file);
            cutTrailingTags(view, read, file);
            break;
        case AudioFormat::Wav: hideWavTags(view, read, file); break;
        case AudioFormat::Flac: hideFlacTags(view, read, file); break;
        // Vorbis comments sit in checksummed pages, and libvorbis reads them soundly.
        case AudioFormat::Ogg: break;
    }
    return view;
}
