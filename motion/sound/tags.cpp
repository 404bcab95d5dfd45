#include "motion/sound/tags.h"

#include <flacfile.h>
#include <mpegfile.h>
#include <tag.h>
#include <tdebuglistener.h>
#include <vorbisfile.h>
#include <wavfile.h>

#include <string>

#include "motion/sound/audio_format.h"
#include "motion/sound/names.h"

namespace {
// TagLib reports what it finds wrong in a file on stderr; a damaged tag is no news to the user.
class Silence : public TagLib::DebugListener {
public:
    void printMessage(const TagLib::String&) override {}
};
Silence silence;

std::string shown(const TagLib::String& text) {
    return cleanName(text.to8Bit(true));
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
        tags.title = titleFromPath(path);
    }
    if (tags.artist.find_first_not_of(' ') == std::string::npos) tags.artist.clear();
    if (tags.album.find_first_not_of(' ') == std::string::npos) tags.album.clear();
    return tags;
}
