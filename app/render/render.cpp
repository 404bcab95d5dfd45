#include "app/render/render.h"

#include <GL/gl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/render/media.h"
#include "app/render/offscreen.h"
#include "app/render/render_plan.h"
#include "app/scene.h"
#include "figure/figure.h"
#include "motion/motion_driver.h"
#include "motion/sound/library.h"
#include "motion/sound/messages.h"
#include "motion/sound/spectrum.h"
#include "motion/sound/tags.h"
#include "overlay/caption.h"
#include "overlay/overlay.h"

namespace {
std::atomic<int> stopSignal{0};  // the signal that asks the render to stop; 0: none

extern "C" void askToStop(int signal) {
    stopSignal = signal;
}

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = askToStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// A track that opened when the music was looked over, to be decoded when its turn comes.
struct PlayableTrack {
    std::string path;
    double seconds;  // as its headers tell; 0 where they do not
};

// Lists what the command line names, tells of each file that cannot play, and keeps the rest.
std::vector<PlayableTrack> playableTracks(const std::vector<std::string>& operands) {
    startListing(operands);
    std::vector<ListedTrack> listed;
    while (!takeListedTracks(listed) && stopSignal == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stopListing();
    std::vector<PlayableTrack> playable;
    for (const ListedTrack& track : listed) {
        if (stopSignal != 0) break;
        std::string whyNot = track.whyNot;
        double seconds = 0;
        if (whyNot.empty()) closeMusic(openMusic(track.path.c_str(), seconds, whyNot));
        if (whyNot.empty()) {
            playable.push_back({track.path, seconds});
        } else {
            reportUnplayable(track.path.c_str(), whyNot.c_str(), true);
        }
    }
    return playable;
}

// The music of every track in turn, as one stream of samples counted from the first, with a
// caption due where each named track starts.
class MusicStream {
public:
    MusicStream(std::vector<PlayableTrack> tracks, bool captioned)
        : tracks_(std::move(tracks)), captioned_(captioned) {}
    ~MusicStream() { closeMusic(music_); }

    // Decodes on until sample `sample` is in, or the music has ended.
    void decodeUntil(std::int64_t sample) {
        while (decoded_ < sample && !ended_) {
            if (music_ == nullptr && !openNext()) return;
            chunk_.clear();
            if (!decodeMusic(music_, chunk_)) {
                closeMusic(music_);
                music_ = nullptr;
                continue;
            }
            const std::size_t frames = chunk_.size() / 2;
            stereo_.insert(stereo_.end(), chunk_.begin(), chunk_.end());
            for (std::size_t i = 0; i < frames; ++i) {
                // As the window's tap keeps it: both channels' mean, limited as a device plays it.
                const float mean = 0.5f * (chunk_[2 * i] + chunk_[2 * i + 1]);
                mono_.push_back(std::clamp(mean, -1.0f, 1.0f));
            }
            decoded_ += static_cast<std::int64_t>(frames);
        }
    }
    // The SPECTRUM_WINDOW mono samples before `end`; zeros before the first and after the last.
    void window(std::int64_t end, float* samples) const {
        for (int i = 0; i < SPECTRUM_WINDOW; ++i) {
            const std::int64_t at = end - SPECTRUM_WINDOW + i - monoBase_;
            const bool kept = at >= 0 && at < static_cast<std::int64_t>(mono_.size());
            samples[i] = kept ? mono_[static_cast<std::size_t>(at)] : 0.0f;
        }
    }
    // Moves the stereo samples up to `end` into `into`, and forgets the mono samples no tick
    // from `nextTickEnd` on needs.
    void takeSound(std::int64_t end, std::vector<float>& into, std::int64_t nextTickEnd) {
        const std::int64_t count = std::max<std::int64_t>(0, std::min(end, decoded_) - stereoBase_);
        into.assign(stereo_.begin(), stereo_.begin() + 2 * count);
        stereo_.erase(stereo_.begin(), stereo_.begin() + 2 * count);
        stereoBase_ += count;
        const std::int64_t keepFrom = nextTickEnd - SPECTRUM_WINDOW;
        if (keepFrom > monoBase_ + (1 << 16)) {
            const std::int64_t drop = std::min<std::int64_t>(keepFrom - monoBase_, mono_.size());
            mono_.erase(mono_.begin(), mono_.begin() + drop);
            monoBase_ += drop;
        }
    }
    // Shows a caption whose track has started by sample `sample`, at the start's time.
    void showDueCaption(std::int64_t sample) {
        while (!captions_.empty() && captions_.front().start <= sample) {
            const Caption& caption = captions_.front();
            showCaption(caption.tags.title, caption.tags.artist,
                        static_cast<int>(caption.start * 1000 / MUSIC_RATE));
            captions_.pop_front();
        }
    }
    bool ended() const { return ended_; }
    std::int64_t decoded() const { return decoded_; }

private:
    struct Caption {
        std::int64_t start;  // sample
        TrackTags tags;
    };

    bool openNext() {
        while (next_ < tracks_.size()) {
            const PlayableTrack& track = tracks_[next_++];
            std::string whyNot;
            double seconds = 0;
            music_ = openMusic(track.path.c_str(), seconds, whyNot);
            if (music_ == nullptr) {
                reportUnplayable(track.path.c_str(), whyNot.c_str(), true);
                continue;
            }
            if (captioned_) captions_.push_back({decoded_, readTrackTags(track.path)});
            return true;
        }
        ended_ = true;
        return false;
    }

    std::vector<PlayableTrack> tracks_;
    bool captioned_;
    std::size_t next_ = 0;
    MusicDecoder* music_ = nullptr;
    bool ended_ = false;
    std::int64_t decoded_ = 0;  // samples decoded in all
    std::vector<float> chunk_;
    std::vector<float> stereo_;  // decoded, not yet handed on: interleaved, from stereoBase_
    std::int64_t stereoBase_ = 0;
    std::vector<float> mono_;  // from monoBase_
    std::int64_t monoBase_ = 0;
    std::deque<Caption> captions_;
};

// One frame on its way to the encoder: its pixels and the sound that plays during it.
struct Frame {
    std::vector<unsigned char> pixels;
    std::vector<float> sound;
};

// The encoder's own thread: it encodes frame n while the drawing thread draws frame n + 1.
// Frames between the two threads: the encoder's pace varies from frame to frame, and with only two
// the drawing thread, which sets the pace, waited for one about three times as long (800x800).
constexpr int FRAMES_IN_FLIGHT = 4;

class EncoderThread {
public:
    EncoderThread(VideoWriter* video, std::size_t frameBytes) : video_(video) {
        for (Frame& frame : frames_) {
            frame.pixels.resize(frameBytes);
            free_.push_back(&frame);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~EncoderThread() { stop(); }

    // A frame to draw into, once one is free; null when the encoder failed or a signal came.
    Frame* freeFrame() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (free_.empty() && !failed_) {
            if (stopSignal != 0) return nullptr;
            changed_.wait_for(lock, std::chrono::milliseconds(100));
        }
        if (failed_) return nullptr;
        Frame* frame = free_.front();
        free_.pop_front();
        return frame;
    }
    void encode(Frame* frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_.push_back(frame);
        changed_.notify_all();
    }
    // Waits until every frame handed over is encoded; false, with why, if one could not be.
    bool finish(std::string& why) {
        stop();
        why = why_;
        return !failed_;
    }

private:
    void run() {
        for (;;) {
            Frame* frame = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return !ready_.empty() || ending_; });
                if (ready_.empty()) return;
                frame = ready_.front();
                ready_.pop_front();
            }
            std::string why;
            const bool written = failed_ || stopSignal != 0 ||
                                 writeVideo(video_, frame->pixels.data(), frame->sound.data(),
                                            static_cast<int>(frame->sound.size() / 2), why);
            std::lock_guard<std::mutex> lock(mutex_);
            if (!written) {
                failed_ = true;
                why_ = why;
            }
            free_.push_back(frame);
            changed_.notify_all();
        }
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
    }

    VideoWriter* video_;
    Frame frames_[FRAMES_IN_FLIGHT];
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Frame*> free_;
    std::deque<Frame*> ready_;
    bool ending_ = false;
    bool failed_ = false;
    std::string why_;
};

// The progress line: on a terminal only, a few times a second, overwritten in place.
class Progress {
public:
    explicit Progress(double totalSeconds)
        : shown_(isatty(STDERR_FILENO) == 1),
          total_(totalSeconds),
          start_(std::chrono::steady_clock::now()),
          last_(start_) {}
    void update(double doneSeconds) {
        // Nothing until there is a speed to tell.
        if (!shown_ || doneSeconds <= 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double speed = elapsed > 0 ? doneSeconds / elapsed : 0;
        const double total = std::max(total_, doneSeconds);
        const double left = speed > 0 ? (total - doneSeconds) / speed : 0;
        std::fprintf(stderr, "\rdancer: %3d%% %s of %s, %.1fx real time, %s left\033[K",
                     total > 0 ? static_cast<int>(100 * doneSeconds / total) : 0,
                     clockText(static_cast<std::int64_t>(doneSeconds)).c_str(),
                     clockText(static_cast<std::int64_t>(total)).c_str(), speed,
                     clockText(static_cast<std::int64_t>(std::ceil(left))).c_str());
    }
    void clear() {
        if (shown_) std::fputs("\r\033[K", stderr);
    }
    double elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    bool shown_;
    double total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

// A new file beside `path`, hidden, with the mode a new file gets; its name in `temporary`.
bool makeTemporaryBeside(const std::string& path, std::string& temporary, std::string& why) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::vector<char> pattern(folder.begin(), folder.end());
    const std::string hidden = "." + name + ".XXXXXX";
    pattern.insert(pattern.end(), hidden.begin(), hidden.end());
    pattern.push_back('\0');
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    temporary = pattern.data();
    return true;
}

// Gives the finished file its name: without --force, only if nothing has taken the name meanwhile.
bool giveName(const std::string& temporary, const std::string& path, bool force, std::string& why) {
    if (force) {
        if (rename(temporary.c_str(), path.c_str()) == 0) return true;
    } else if (link(temporary.c_str(), path.c_str()) == 0) {
        unlink(temporary.c_str());
        return true;
    }
    why = std::strerror(errno);
    return false;
}

int exitStatusFor(int signal) {
    return 128 + signal;
}
}  // namespace

int renderVideo(const CommandLine& command) {
    const std::string& path = command.renderTo;
    catchStopSignals();
    struct stat info;
    if (!command.force && lstat(path.c_str(), &info) == 0) {
        tellUser(path.c_str(), "exists; --force replaces it");
        return 2;
    }
    VideoSettings settings;
    containerForName(path, settings.container);
    settings.width = command.width;
    settings.height = command.height;
    settings.fps = command.fps;
    settings.crf = command.crf;

    std::vector<PlayableTrack> tracks = playableTracks(command.operands);
    if (stopSignal != 0) return exitStatusFor(stopSignal);
    if (tracks.empty()) {
        tellUser(path.c_str(), "nothing can play; no video written");
        return 1;
    }
    double totalSeconds = 0;
    for (const PlayableTrack& track : tracks) totalSeconds += track.seconds;

    std::string why;
    if (!openOffscreen(settings.width, settings.height, why)) {
        tellUser(path.c_str(), why.c_str());
        return 1;
    }
    initLighting();
    keepFigureShapes();
    setProjection(settings.width, settings.height);
    useTextGlyphs(TextGlyphs::BuiltIn);

    std::string temporary;
    if (!makeTemporaryBeside(path, temporary, why)) {
        tellUser(path.c_str(), why.c_str());
        closeOffscreen();
        return 1;
    }
    VideoWriter* video = openVideo(temporary.c_str(), settings, why);
    if (video == nullptr) {
        unlink(temporary.c_str());
        tellUser(path.c_str(), why.c_str());
        closeOffscreen();
        return 1;
    }

    MusicStream music(std::move(tracks), !command.operands.empty());
    Progress progress(totalSeconds);
    std::int64_t frames = 0;
    bool written = true;
    {
        EncoderThread encoder(video,
                              static_cast<std::size_t>(settings.width) * settings.height * 4);
        std::int64_t nextTick = 0;
        float samples[SPECTRUM_WINDOW];
        float amplitudes[SPECTRUM_SIZE];
        for (; stopSignal == 0; ++frames) {
            const std::int64_t start = frameStartSample(frames, settings.fps, MUSIC_RATE);
            music.decodeUntil(start + 1);
            if (music.ended() && start >= music.decoded()) break;
            // Every tick up to the frame's time, each on the music just before it.
            const std::int64_t lastTick = tickOfFrame(frames, settings.fps);
            for (; nextTick <= lastTick; ++nextTick) {
                const std::int64_t end = tickEndSample(nextTick, MUSIC_RATE);
                music.decodeUntil(end);
                stepArmSwings();
                music.window(end, samples);
                analyseSpectrum(samples, amplitudes);
                music.showDueCaption(end);
                stepPhases(amplitudes, SPECTRUM_SIZE);
            }
            Frame* frame = encoder.freeFrame();
            if (frame == nullptr) break;
            const std::int64_t next = frameStartSample(frames + 1, settings.fps, MUSIC_RATE);
            music.decodeUntil(next);
            music.takeSound(next, frame->sound, tickEndSample(nextTick, MUSIC_RATE));
            const double degrees =
                std::fmod(command.spin * static_cast<double>(frames) / settings.fps, 360.0);
            drawScene(settings.width, settings.height,
                      static_cast<int>(frameMilliseconds(frames, settings.fps)),
                      [degrees] { glRotated(degrees, 0, 1, 0); });
            readOffscreen(frame->pixels.data());
            encoder.encode(frame);
            progress.update(static_cast<double>(start) / MUSIC_RATE);
        }
        written = encoder.finish(why);
    }
    closeOffscreen();
    progress.clear();
    if (stopSignal != 0) {
        closeVideo(video);
        unlink(temporary.c_str());
        return exitStatusFor(stopSignal);
    }
    if (written) written = finishVideo(video, why);
    closeVideo(video);
    // A signal while the file was completed still means the user wants no video.
    if (stopSignal != 0) {
        unlink(temporary.c_str());
        return exitStatusFor(stopSignal);
    }
    if (written) written = giveName(temporary, path, command.force, why);
    if (!written) {
        unlink(temporary.c_str());
        tellUser(path.c_str(), why.c_str());
        return 1;
    }
    const std::int64_t seconds = (frames + settings.fps / 2) / settings.fps;
    std::fprintf(stderr, "dancer: wrote %s (%s, %dx%d, %d fps) in %.0f s\n",
                 escapedName(path.c_str()).c_str(), clockText(seconds).c_str(), settings.width,
                 settings.height, settings.fps, progress.elapsed());
    return 0;
}
