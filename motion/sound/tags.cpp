#include "motion/sound/tags.h"

#include <flacfile.h>
#include <mpegfile.h>
#include <tag.h>
#include <tdebuglistener.h>
#include <vorbisfile.h>
#include <wavfile.h>

#include <cstddef>
#include <string>

#include "motion/sound/audio_format.h"

namespace {
// TagLib reports what it finds wrong in a file on stderr; a damaged tag is no news to the user.
class Silence : public TagLib::DebugListener {
public:
    void printMessage(const TagLib::String&) override {}
};
Silence silence;

// Longer names are cut, at a character's start: nothing shows that many anyway.
constexpr std::size_t NAME_BYTES_MAX = 1024;

std::string shown(const TagLib::String& text) {
    return shownName(text.to8Bit(true));
}

std::string withoutFolderOrSuffix(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

AudioFormat formatOf(const std::string& path) {
    unsigned char head[SNIFF_BYTES];
    return sniffAudioFormat(head, readFileHead(path.c_str(), head));
}

void take(const TagLib::Tag* tag, TrackTags& tags) {
    if (tag == nullptr) return;
    if (tags.title.empty()) tags.title = shown(tag->title());
    if (tags.artist.empty()) tags.artist = shown(tag->artist());
    if (tags.album.empty()) tags.album = shown(tag->album());
}

// The length as the file's headers tell it, without reading the audio through.
template <typename File>
File opened(const std::string& path) {
    return File(path.c_str(), true, TagLib::AudioProperties::Fast);
}

void takeLength(const TagLib::AudioProperties* properties, TrackTags& tags) {
    if (properties != nullptr) tags.lengthMs = properties->lengthInMilliseconds();
}
}  // namespace

std::string shownName(std::string name) {
    // Control characters (C0, DEL and, encoded in two bytes, C1) become spaces, and a name cut
    // short ends on a whole character.
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const auto next = i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7f) {
            name[i] = ' ';
        } else if (byte == 0xc2 && next >= 0x80 && next < 0xa0) {
            name.replace(i, 2, " ");
        }
    }
    if (name.size() > NAME_BYTES_MAX) {
        std::size_t end = NAME_BYTES_MAX;
        while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xc0) == 0x80) --end;
        name.erase(end);
    }
    return name;
}

TrackTags readTrackTags(const std::string& path) {
    TagLib::setDebugListener(&silence);
    TrackTags tags;
    // Read as the decoder reads it, whatever the file's name says.
    switch (formatOf(path)) {
        case AudioFormat::Mp3: {
            auto file = opened<TagLib::MPEG::File>(path);
            if (file.isValid()) take(file.tag(), tags);
            if (file.isValid()) takeLength(file.audioProperties(), tags);
            break;
        }
        case AudioFormat::Wav: {
            auto file = opened<TagLib::RIFF::WAV::File>(path);
            if (file.isValid() && file.hasID3v2Tag()) take(file.ID3v2Tag(), tags);
            if (file.isValid() && file.hasInfoTag()) take(file.InfoTag(), tags);
            if (file.isValid()) takeLength(file.audioProperties(), tags);
            break;
        }
        case AudioFormat::Ogg: {
            auto file = opened<TagLib::Ogg::Vorbis::File>(path);
            if (file.isValid()) take(file.tag(), tags);
            if (file.isValid()) takeLength(file.audioProperties(), tags);
            break;
        }
        case AudioFormat::Flac: {
            auto file = opened<TagLib::FLAC::File>(path);
            if (file.isValid()) take(file.tag(), tags);
            if (file.isValid()) takeLength(file.audioProperties(), tags);
            break;
        }
    }
    if (tags.title.find_first_not_of(' ') == std::string::npos) {
        tags.title = withoutFolderOrSuffix(path);
    }
    if (tags.artist.find_first_not_of(' ') == std::string::npos) tags.artist.clear();
    if (tags.album.find_first_not_of(' ') == std::string::npos) tags.album.clear();
    return tags;
}
