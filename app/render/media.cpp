#include "app/render/media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "motion/sound/audio_format.h"

namespace {
std::string describeError(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(error, text, sizeof text);
    return text;
}

// The music file as the decoder reads it: through the view that hides its tags, as the window's
// mixer sees it, so the decoder meets only what the window's decoders meet.
struct FileView {
    int fd = -1;
    DecoderView view{};
    std::uint64_t position = 0;  // in the view
};

std::size_t readFileAt(void* fd, std::uint64_t offset, unsigned char* into, std::size_t count) {
    const ssize_t got = pread(*static_cast<int*>(fd), into, count, static_cast<off_t>(offset));
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::int64_t viewSize(const FileView& file) {
    struct stat info;
    if (fstat(file.fd, &info) != 0) return AVERROR(errno);
    const std::uint64_t end = std::min(static_cast<std::uint64_t>(info.st_size), file.view.end);
    return end > file.view.start ? static_cast<std::int64_t>(end - file.view.start) : 0;
}

int readView(void* opaque, std::uint8_t* into, int size) {
    FileView& file = *static_cast<FileView*>(opaque);
    const std::uint64_t from = file.view.start + file.position;
    if (size <= 0 || from >= file.view.end) return AVERROR_EOF;
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, file.view.end - from));
    const std::size_t got = readFileAt(&file.fd, from, into, wanted);
    if (got == 0) return AVERROR_EOF;
    for (int p = 0; p < file.view.patchCount; ++p) {
        const BytePatch& patch = file.view.patches[p];
        for (int i = 0; i < patch.count; ++i) {
            const std::uint64_t at = patch.offset + i;
            if (at >= from && at < from + got) into[at - from] = patch.bytes[i];
        }
    }
    file.position += got;
    return static_cast<int>(got);
}

std::int64_t seekView(void* opaque, std::int64_t offset, int whence) {
    FileView& file = *static_cast<FileView*>(opaque);
    const std::int64_t size = viewSize(file);
    if ((whence & AVSEEK_SIZE) != 0) return size;
    std::int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
        case SEEK_SET:
            break;
        case SEEK_CUR:
            base = static_cast<std::int64_t>(file.position);
            break;
        case SEEK_END:
            if (size < 0) return size;
            base = size;
            break;
        default:
            return AVERROR(EINVAL);
    }
    if (offset < -base) return AVERROR(EINVAL);
    file.position = static_cast<std::uint64_t>(base + offset);
    return static_cast<std::int64_t>(file.position);
}

struct Demuxer {
    const char* name;   // FFmpeg's
    const char* shown;  // the user's
};

Demuxer demuxerFor(AudioFormat format) {
    switch (format) {
        case AudioFormat::Wav:
            return {"wav", "WAV"};
        case AudioFormat::Ogg:
            return {"ogg", "Ogg Vorbis"};
        case AudioFormat::Flac:
            return {"flac", "FLAC"};
        case AudioFormat::Mp3:
            break;
    }
    return {"mp3", "MP3"};
}

constexpr int IO_BUFFER_SIZE = 1 << 15;
}  // namespace

struct MusicDecoder {
    FileView file;
    AVIOContext* io = nullptr;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    SwrContext* resampler = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int stream = -1;
    bool drained = false;  // the decoder has been told the end and has given everything
    bool flushed = false;  // and the resampler has given what it held
};

namespace {
bool openDecoder(MusicDecoder& music, const Demuxer& demuxer, std::string& why) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(IO_BUFFER_SIZE));
    if (buffer == nullptr) return why = "out of memory", false;
    music.io =
        avio_alloc_context(buffer, IO_BUFFER_SIZE, 0, &music.file, readView, nullptr, seekView);
    if (music.io == nullptr) {
        av_free(buffer);
        return why = "out of memory", false;
    }
    music.format = avformat_alloc_context();
    if (music.format == nullptr) return why = "out of memory", false;
    music.format->pb = music.io;
    music.format->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The format its first bytes show and no other: nothing is guessed.
    const AVInputFormat* input = av_find_input_format(demuxer.name);
    int error = avformat_open_input(&music.format, nullptr, input, nullptr);
    if (error < 0) return why = describeError(error), false;
    error = avformat_find_stream_info(music.format, nullptr);
    if (error < 0) return why = describeError(error), false;
    const AVCodec* decoder = nullptr;
    music.stream = av_find_best_stream(music.format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (music.stream < 0 || decoder == nullptr) return why = "no sound in it", false;
    music.codec = avcodec_alloc_context3(decoder);
    if (music.codec == nullptr) return why = "out of memory", false;
    avcodec_parameters_to_context(music.codec, music.format->streams[music.stream]->codecpar);
    // One thread: the same samples on every machine.
    music.codec->thread_count = 1;
    error = avcodec_open2(music.codec, decoder, nullptr);
    if (error < 0) return why = describeError(error), false;
    if (music.codec->ch_layout.nb_channels <= 0 || music.codec->sample_rate <= 0) {
        return why = "its channels or rate are not told", false;
    }
    music.packet = av_packet_alloc();
    music.frame = av_frame_alloc();
    if (music.packet == nullptr || music.frame == nullptr) return why = "out of memory", false;
    return true;
}

// Builds the resampler for the frame's layout and rate, which the first frame decides.
bool startResampler(MusicDecoder& music, const AVFrame& frame) {
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    AVChannelLayout in;
    if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame.ch_layout.nb_channels <= 0) {
        av_channel_layout_default(&in, std::max(frame.ch_layout.nb_channels, 1));
    } else if (av_channel_layout_copy(&in, &frame.ch_layout) < 0) {
        return false;
    }
    const int error = swr_alloc_set_opts2(&music.resampler, &stereo, AV_SAMPLE_FMT_FLT, MUSIC_RATE,
                                          &in, static_cast<AVSampleFormat>(frame.format),
                                          frame.sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in);
    return error >= 0 && swr_init(music.resampler) >= 0;
}

void appendResampled(MusicDecoder& music, const AVFrame* frame, std::vector<float>& stereo) {
    const int inCount = frame != nullptr ? frame->nb_samples : 0;
    const int room = swr_get_out_samples(music.resampler, inCount);
    if (room <= 0) return;
    const std::size_t start = stereo.size();
    stereo.resize(start + 2 * static_cast<std::size_t>(room));
    std::uint8_t* out = reinterpret_cast<std::uint8_t*>(stereo.data() + start);
    const int got = swr_convert(
        music.resampler, &out, room,
        frame != nullptr ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr,
        inCount);
    stereo.resize(start + 2 * static_cast<std::size_t>(std::max(got, 0)));
}
}  // namespace

MusicDecoder* openMusic(const char* path, double& seconds, std::string& whyNot) {
    av_log_set_level(AV_LOG_QUIET);
    seconds = 0;
    OpenedMusicFile opened;
    const char* problem = nullptr;
    if (!openMusicFile(path, opened, problem)) {
        whyNot = problem;
        return nullptr;
    }
    auto* music = new MusicDecoder;
    music->file.fd = opened.fd;
    const AudioFormat format = sniffAudioFormat(opened.head, opened.headLength);
    const Demuxer demuxer = demuxerFor(format);
    music->file.view = viewForDecoder(format, readFileAt, &music->file.fd, opened.size);
    std::string why;
    if (music->file.view.problem != nullptr) {
        why = music->file.view.problem;
    } else if (!openDecoder(*music, demuxer, why)) {
        if (why.empty()) why = "unknown error";
    }
    if (!why.empty()) {
        whyNot = std::string("not playable as ") + demuxer.shown + " (" + why + ")";
        closeMusic(music);
        return nullptr;
    }
    if (music->format->duration > 0) seconds = music->format->duration / double(AV_TIME_BASE);
    return music;
}

bool decodeMusic(MusicDecoder* music, std::vector<float>& stereo) {
    while (!music->drained) {
        const int received = avcodec_receive_frame(music->codec, music->frame);
        if (received == 0) {
            if (music->resampler == nullptr && !startResampler(*music, *music->frame)) {
                music->drained = true;
                break;
            }
            appendResampled(*music, music->frame, stereo);
            av_frame_unref(music->frame);
            return true;
        }
        if (received == AVERROR_EOF) {
            music->drained = true;
            break;
        }
        if (received != AVERROR(EAGAIN)) {
            music->drained = true;
            break;
        }
        // The decoder wants more: the next packet of our stream, or the end.
        int read = 0;
        while ((read = av_read_frame(music->format, music->packet)) >= 0 &&
               music->packet->stream_index != music->stream) {
            av_packet_unref(music->packet);
        }
        if (read < 0) {
            avcodec_send_packet(music->codec, nullptr);
        } else {
            // A damaged packet is passed over, as the decoder's own players pass it over.
            avcodec_send_packet(music->codec, music->packet);
            av_packet_unref(music->packet);
        }
    }
    // What the resampler still holds, once.
    if (music->resampler == nullptr || music->flushed) return false;
    music->flushed = true;
    appendResampled(*music, nullptr, stereo);
    return true;
}

void closeMusic(MusicDecoder* music) {
    if (music == nullptr) return;
    swr_free(&music->resampler);
    av_frame_free(&music->frame);
    av_packet_free(&music->packet);
    avcodec_free_context(&music->codec);
    avformat_close_input(&music->format);
    if (music->io != nullptr) av_freep(&music->io->buffer);
    avio_context_free(&music->io);
    if (music->file.fd >= 0) close(music->file.fd);
    delete music;
}

struct VideoWriter {
    AVFormatContext* format = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    SwsContext* scaler = nullptr;
    SwrContext* resampler = nullptr;
    AVAudioFifo* fifo = nullptr;  // the sound in the encoder's format, awaiting a whole frame
    AVFrame* picture = nullptr;
    AVFrame* sound = nullptr;
    AVPacket* packet = nullptr;
    std::int64_t framesWritten = 0;
    std::int64_t samplesWritten = 0;  // at the audio encoder's rate
};

namespace {
struct Codecs {
    const char* muxer;
    const char* video;
    const char* audio;
    int audioRate;
    AVSampleFormat audioFormat;
};

Codecs codecsFor(Container container) {
    switch (container) {
        case Container::Mkv:
            return {"matroska", "libx264", "flac", MUSIC_RATE, AV_SAMPLE_FMT_S16};
        case Container::Webm:
            return {"webm", "libvpx-vp9", "libopus", 48000, AV_SAMPLE_FMT_FLT};
        case Container::Mp4:
            break;
    }
    return {"mp4", "libx264", "aac", MUSIC_RATE, AV_SAMPLE_FMT_FLTP};
}

// Moves every packet the encoder has ready into the file.
int drainEncoder(VideoWriter& writer, AVCodecContext* codec, AVStream* stream) {
    for (;;) {
        int error = avcodec_receive_packet(codec, writer.packet);
        if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return 0;
        if (error < 0) return error;
        av_packet_rescale_ts(writer.packet, codec->time_base, stream->time_base);
        writer.packet->stream_index = stream->index;
        error = av_interleaved_write_frame(writer.format, writer.packet);
        if (error < 0) return error;
        if (writer.format->pb->error < 0) return writer.format->pb->error;
    }
}

int encode(VideoWriter& writer, AVCodecContext* codec, AVStream* stream, const AVFrame* frame) {
    const int error = avcodec_send_frame(codec, frame);
    if (error < 0) return error;
    return drainEncoder(writer, codec, stream);
}

// Encodes as many whole audio frames as the fifo holds; at the end, the rest too.
int encodeSound(VideoWriter& writer, bool atEnd) {
    const int frameSize = writer.audio->frame_size > 0 ? writer.audio->frame_size : 1024;
    while (av_audio_fifo_size(writer.fifo) >= frameSize ||
           (atEnd && av_audio_fifo_size(writer.fifo) > 0)) {
        const int count = std::min(frameSize, av_audio_fifo_size(writer.fifo));
        av_frame_unref(writer.sound);
        writer.sound->nb_samples = count;
        writer.sound->format = writer.audio->sample_fmt;
        writer.sound->sample_rate = writer.audio->sample_rate;
        av_channel_layout_copy(&writer.sound->ch_layout, &writer.audio->ch_layout);
        int error = av_frame_get_buffer(writer.sound, 0);
        if (error < 0) return error;
        av_audio_fifo_read(writer.fifo, reinterpret_cast<void**>(writer.sound->data), count);
        writer.sound->pts = writer.samplesWritten;
        writer.samplesWritten += count;
        error = encode(writer, writer.audio, writer.audioStream, writer.sound);
        if (error < 0) return error;
    }
    return 0;
}

int addSound(VideoWriter& writer, const float* stereo, int frames) {
    const std::uint8_t* in = reinterpret_cast<const std::uint8_t*>(stereo);
    const int room = swr_get_out_samples(writer.resampler, frames);
    if (room <= 0) return 0;
    std::uint8_t* planes[2] = {nullptr, nullptr};
    int error = av_samples_alloc(planes, nullptr, 2, room, writer.audio->sample_fmt, 0);
    if (error < 0) return error;
    const int got =
        swr_convert(writer.resampler, planes, room, stereo != nullptr ? &in : nullptr, frames);
    if (got > 0) error = av_audio_fifo_write(writer.fifo, reinterpret_cast<void**>(planes), got);
    av_freep(&planes[0]);
    return got < 0 ? got : std::min(error, 0);
}

// The encoder named, with a context for it in `context`, its headers where the container wants them.
int newEncoder(const VideoWriter& writer, const char* name, const AVCodec*& encoder,
               AVCodecContext*& context) {
    encoder = avcodec_find_encoder_by_name(name);
    if (encoder == nullptr) return AVERROR_ENCODER_NOT_FOUND;
    context = avcodec_alloc_context3(encoder);
    if (context == nullptr) return AVERROR(ENOMEM);
    if ((writer.format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    return 0;
}

int openVideoEncoder(VideoWriter& writer, const Codecs& codecs, const VideoSettings& settings) {
    const AVCodec* encoder = nullptr;
    if (const int error = newEncoder(writer, codecs.video, encoder, writer.video); error < 0) {
        return error;
    }
    AVCodecContext& codec = *writer.video;
    codec.width = settings.width;
    codec.height = settings.height;
    codec.time_base = AVRational{1, settings.fps};
    codec.framerate = AVRational{settings.fps, 1};
    codec.pix_fmt = AV_PIX_FMT_YUV420P;
    // A fixed count, not one a thread per core: the encoders split the work by it, so the same
    // count gives the same frames on any machine.
    codec.thread_count = 2;
    AVDictionary* options = nullptr;
    // CRF 0 is lossless, as the encoders' own tools take it: a quantiser of 0, every pixel kept.
    av_dict_set_int(&options,
                    settings.crf == 0 && settings.container != Container::Webm ? "qp" : "crf",
                    settings.crf, 0);
    if (settings.crf == 0 && settings.container == Container::Webm) {
        av_dict_set(&options, "lossless", "1", 0);
    }
    if (settings.container == Container::Webm) {
        // libvpx's real-time mode, at its quickest: a good-quality pass would take ten times as
        // long as the H.264 encoder.
        av_dict_set(&options, "deadline", "realtime", 0);
        av_dict_set(&options, "cpu-used", "8", 0);
        av_dict_set(&options, "row-mt", "1", 0);
        av_dict_set_int(&options, "b", 0, 0);
    } else {
        av_dict_set(&options, "preset", "veryfast", 0);
    }
    const int error = avcodec_open2(writer.video, encoder, &options);
    av_dict_free(&options);
    if (error < 0) return error;
    writer.videoStream = avformat_new_stream(writer.format, nullptr);
    if (writer.videoStream == nullptr) return AVERROR(ENOMEM);
    writer.videoStream->time_base = codec.time_base;
    writer.videoStream->avg_frame_rate = codec.framerate;
    return avcodec_parameters_from_context(writer.videoStream->codecpar, writer.video);
}

int openAudioEncoder(VideoWriter& writer, const Codecs& codecs) {
    const AVCodec* encoder = nullptr;
    if (const int error = newEncoder(writer, codecs.audio, encoder, writer.audio); error < 0) {
        return error;
    }
    AVCodecContext& codec = *writer.audio;
    codec.sample_rate = codecs.audioRate;
    codec.sample_fmt = codecs.audioFormat;
    codec.ch_layout = AV_CHANNEL_LAYOUT_STEREO;
    codec.time_base = AVRational{1, codecs.audioRate};
    codec.bit_rate = 160000;
    codec.thread_count = 1;
    int error = avcodec_open2(writer.audio, encoder, nullptr);
    if (error < 0) return error;
    writer.audioStream = avformat_new_stream(writer.format, nullptr);
    if (writer.audioStream == nullptr) return AVERROR(ENOMEM);
    writer.audioStream->time_base = codec.time_base;
    error = avcodec_parameters_from_context(writer.audioStream->codecpar, writer.audio);
    if (error < 0) return error;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    error = swr_alloc_set_opts2(&writer.resampler, &stereo, codec.sample_fmt, codec.sample_rate,
                                &stereo, AV_SAMPLE_FMT_FLT, MUSIC_RATE, 0, nullptr);
    if (error < 0) return error;
    error = swr_init(writer.resampler);
    if (error < 0) return error;
    writer.fifo = av_audio_fifo_alloc(codec.sample_fmt, 2, 4096);
    return writer.fifo != nullptr ? 0 : AVERROR(ENOMEM);
}

int openWriter(VideoWriter& writer, const char* path, const VideoSettings& settings) {
    const Codecs codecs = codecsFor(settings.container);
    // The name also lets the muxer reopen the file to move the index to the front.
    int error = avformat_alloc_output_context2(&writer.format, nullptr, codecs.muxer, path);
    if (error < 0) return error;
    error = openVideoEncoder(writer, codecs, settings);
    if (error < 0) return error;
    error = openAudioEncoder(writer, codecs);
    if (error < 0) return error;
    // RGBA as GL reads it: the order Mesa keeps the pixels in, so that reading them is a copy.
    // Colour taken at full width and then halved by the scaler: libswscale's vector code reads
    // RGBA that way, where its half-width reader is plain C and cost twice as much (1.4 against
    // 0.8 ms a frame at 800x800). The scene is grey, so the frames come out the same either way.
    writer.scaler = sws_getContext(settings.width, settings.height, AV_PIX_FMT_RGBA, settings.width,
                                   settings.height, AV_PIX_FMT_YUV420P,
                                   SWS_BILINEAR | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr);
    writer.picture = av_frame_alloc();
    writer.sound = av_frame_alloc();
    writer.packet = av_packet_alloc();
    if (writer.scaler == nullptr || writer.picture == nullptr || writer.sound == nullptr ||
        writer.packet == nullptr) {
        return AVERROR(ENOMEM);
    }
    writer.picture->format = AV_PIX_FMT_YUV420P;
    writer.picture->width = settings.width;
    writer.picture->height = settings.height;
    error = av_frame_get_buffer(writer.picture, 0);
    if (error < 0) return error;
    error = avio_open(&writer.format->pb, path, AVIO_FLAG_WRITE);
    if (error < 0) return error;
    AVDictionary* options = nullptr;
    // The index at the front, so that the video plays while it downloads.
    if (settings.container == Container::Mp4) av_dict_set(&options, "movflags", "+faststart", 0);
    // No library version in the file: the same music makes the same bytes.
    writer.format->flags |= AVFMT_FLAG_BITEXACT;
    error = avformat_write_header(writer.format, &options);
    av_dict_free(&options);
    if (error < 0) return error;
    return 0;
}
}  // namespace

VideoWriter* openVideo(const char* path, const VideoSettings& settings, std::string& why) {
    // The libraries' own lines would talk past the program's; what fails is told by its status.
    av_log_set_level(AV_LOG_QUIET);
    auto* writer = new VideoWriter;
    const int error = openWriter(*writer, path, settings);
    if (error < 0) {
        why = describeError(error);
        closeVideo(writer);
        return nullptr;
    }
    return writer;
}

bool writeVideo(VideoWriter* writer, const unsigned char* rgba, const float* stereo, int frames,
                std::string& why) {
    int error = av_frame_make_writable(writer->picture);
    if (error >= 0) {
        // GL's rows run from the bottom: start at the last and step back.
        const int stride = 4 * writer->video->width;
        const std::uint8_t* top =
            rgba + static_cast<std::size_t>(stride) * (writer->video->height - 1);
        const int strides[1] = {-stride};
        sws_scale(writer->scaler, &top, strides, 0, writer->video->height, writer->picture->data,
                  writer->picture->linesize);
        writer->picture->pts = writer->framesWritten++;
        error = encode(*writer, writer->video, writer->videoStream, writer->picture);
    }
    if (error >= 0 && frames > 0) error = addSound(*writer, stereo, frames);
    if (error >= 0) error = encodeSound(*writer, false);
    if (error < 0) why = describeError(error);
    return error >= 0;
}

bool finishVideo(VideoWriter* writer, std::string& why) {
    int error = addSound(*writer, nullptr, 0);
    if (error >= 0) error = encodeSound(*writer, true);
    if (error >= 0) error = encode(*writer, writer->audio, writer->audioStream, nullptr);
    if (error >= 0) error = encode(*writer, writer->video, writer->videoStream, nullptr);
    if (error >= 0) error = av_write_trailer(writer->format);
    if (error >= 0) error = writer->format->pb->error;
    if (error >= 0) avio_flush(writer->format->pb);
    if (error >= 0) error = writer->format->pb->error;
    if (error < 0) why = describeError(error);
    return error >= 0;
}

void closeVideo(VideoWriter* writer) {
    if (writer == nullptr) return;
    if (writer->format != nullptr && writer->format->pb != nullptr) {
        avio_closep(&writer->format->pb);
    }
    avformat_free_context(writer->format);
    avcodec_free_context(&writer->video);
    avcodec_free_context(&writer->audio);
    sws_freeContext(writer->scaler);
    swr_free(&writer->resampler);
    if (writer->fifo != nullptr) av_audio_fifo_free(writer->fifo);
    av_frame_free(&writer->picture);
    av_frame_free(&writer->sound);
    av_packet_free(&writer->packet);
    delete writer;
}
