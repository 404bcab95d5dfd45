#include "app/session_bus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "motion/music.h"

namespace {
// sd-bus is not thread-safe: the connection and all that hangs on it live on the GLUT thread.
sd_bus* bus = nullptr;
bool quitAsked = false;  // set by Quit, acted on once the message has been handled

constexpr char PLAYER_NAME[] = "org.mpris.MediaPlayer2.dancer";
constexpr char MPRIS_PATH[] = "/org/mpris/MediaPlayer2";
constexpr char ROOT_INTERFACE[] = "org.mpris.MediaPlayer2";
constexpr char PLAYER_INTERFACE[] = "org.mpris.MediaPlayer2.Player";
constexpr char TRACK_PATH[] = "/org/mpris/MediaPlayer2/dancer/track/";  // then trackNumber()
constexpr char NO_TRACK[] = "/org/mpris/MediaPlayer2/TrackList/NoTrack";
constexpr double MICROSECONDS = 1e6;

// A thread watches the socket, so that a tick where nothing came makes no system call: here one
// costs 9 us, the tick's caches cold after its sleep.
std::thread watch;
// The watch's word to the GLUT thread: the socket has something to read. Set by the watch, cleared
// by the GLUT thread before it reads all there is.
std::atomic<bool> busStirred{true};
// The GLUT thread's word to the watch, an eventfd: all is read, watch again (or end).
int rearm = -1;
std::atomic<bool> watchEnds{false};
unsigned quietTicks = 0;  // GLUT thread

void watchSocket(int socket) {
    pollfd waits[2] = {{rearm, POLLIN, 0}, {socket, POLLIN, 0}};
    while (!watchEnds) {
        // Stirred, the socket stays readable until the GLUT thread reads it: only its word counts.
        const nfds_t count = busStirred ? 1 : 2;
        if (poll(waits, count, -1) <= 0) continue;
        std::uint64_t words = 0;
        if ((waits[0].revents & POLLIN) != 0 && read(rearm, &words, sizeof words) < 0) continue;
        if (count == 2 && waits[1].revents != 0) busStirred = true;
    }
}

void wakeWatch() {
    const std::uint64_t word = 1;
    // Only a count near 2^64 could refuse it.
    if (write(rearm, &word, sizeof word) != sizeof word) std::abort();
}

// What was sent last has been written already, unless the bus is stuck, and then exit should
// not wait for it.
void disconnect() {
    if (watch.joinable()) {
        watchEnds = true;
        wakeWatch();
        watch.join();
        close(rearm);
    }
    bus = sd_bus_close_unref(bus);
}

bool connect() {
    if (bus != nullptr) return true;
    if (sd_bus_open_user(&bus) < 0) {
        bus = nullptr;
        return false;
    }
    rearm = eventfd(0, EFD_CLOEXEC);
    if (rearm < 0) {
        bus = sd_bus_close_unref(bus);
        return false;
    }
    watch = std::thread(watchSocket, sd_bus_get_fd(bus));
    return true;
}

// Whether a call waiting for its answer has run out of time, or a message read waits.
bool busTimeUp() {
    std::uint64_t due = 0;
    if (sd_bus_get_timeout(bus, &due) < 0) return true;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return due <= static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
                      static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

// ---- The media player --------------------------------------------------------------------------

bool offered = false;
bool stoppedAtStart = false;  // Stop: paused at the track's start until played again

// What the player interface last told the bus, to tell it only what has changed.
struct PlayerView {
    const char* status = "";
    unsigned track = 0;
    int volume = -1;
    bool canStep = false;
};
PlayerView told;

PlayerView playerNow() {
    if (!musicPaused()) stoppedAtStart = false;
    PlayerView now;
    now.status = !musicPaused() ? "Playing" : stoppedAtStart ? "Stopped" : "Paused";
    now.track = trackNumber();
    now.volume = static_cast<int>(musicVolume() * 1000);
    now.canStep = musicTrackCount() > 1;
    return now;
}

std::string trackPath(unsigned track) {
    return track == 0 ? NO_TRACK : TRACK_PATH + std::to_string(track);
}

// A file's place as a file:// URL: bytes other than unreserved ones and '/' percent-encoded.
std::string fileUrl(const std::string& path) {
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char* folder = getcwd(nullptr, 0);
        absolute = std::string(folder != nullptr ? folder : "") + "/" + absolute;
        std::free(folder);
    }
    std::string url = "file://";
    for (const char c : absolute) {
        if (std::strchr("-._~/", c) != nullptr || (c >= '0' && c <= '9') ||
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            url += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            url += escaped;
        }
    }
    return url;
}

int reply(sd_bus_message* call, int done) {
    return done < 0 ? done : sd_bus_reply_method_return(call, nullptr);
}

int next(sd_bus_message* call, void*, sd_bus_error*) {
    skipTrack(1);
    return reply(call, 0);
}

int previous(sd_bus_message* call, void*, sd_bus_error*) {
    skipTrack(-1);
    return reply(call, 0);
}

int pause(sd_bus_message* call, void*, sd_bus_error*) {
    pauseMusic(true);
    return reply(call, 0);
}

int play(sd_bus_message* call, void*, sd_bus_error*) {
    pauseMusic(false);
    return reply(call, 0);
}

int playPause(sd_bus_message* call, void*, sd_bus_error*) {
    pauseMusic(!musicPaused());
    return reply(call, 0);
}

int stop(sd_bus_message* call, void*, sd_bus_error*) {
    stopMusicAtStart();
    stoppedAtStart = musicPaused();
    return reply(call, 0);
}

// Goes to `seconds` and says so, as the desktop's controls expect of a jump.
void seekTo(double seconds) {
    if (!seekMusic(seconds)) return;
    sd_bus_emit_signal(bus, MPRIS_PATH, PLAYER_INTERFACE, "Seeked", "x",
                       static_cast<std::int64_t>(musicSeconds() * MICROSECONDS));
}

int seek(sd_bus_message* call, void*, sd_bus_error*) {
    std::int64_t offset = 0;
    const int read = sd_bus_message_read(call, "x", &offset);
    if (read >= 0) seekTo(musicSeconds() + static_cast<double>(offset) / MICROSECONDS);
    return reply(call, read);
}

int setPosition(sd_bus_message* call, void*, sd_bus_error*) {
    const char* track = nullptr;
    std::int64_t position = 0;
    const int read = sd_bus_message_read(call, "ox", &track, &position);
    // A position for a track no longer playing is ignored, as is one before the start.
    if (read >= 0 && trackPath(trackNumber()) == track && position >= 0) {
        seekTo(static_cast<double>(position) / MICROSECONDS);
    }
    return reply(call, read);
}

int openUri(sd_bus_message*, void*, sd_bus_error* error) {
    return sd_bus_error_set(error, SD_BUS_ERROR_NOT_SUPPORTED, "dancer plays what it was given");
}

int quit(sd_bus_message* call, void*, sd_bus_error*) {
    quitAsked = true;
    return reply(call, 0);
}

int raise(sd_bus_message* call, void*, sd_bus_error*) {
    return reply(call, 0);
}

int identity(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) {
    return sd_bus_message_append(reply, "s", "Dancer");
}

// The menu entry's name, dancer.desktop.
int desktopEntry(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                 sd_bus_error*) {
    return sd_bus_message_append(reply, "s", "dancer");
}

int yes(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
        sd_bus_error*) {
    return sd_bus_message_append(reply, "b", 1);
}

int no(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
       sd_bus_error*) {
    return sd_bus_message_append(reply, "b", 0);
}

int noStrings(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
              sd_bus_error*) {
    return sd_bus_message_append(reply, "as", 0);
}

int one(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
        sd_bus_error*) {
    return sd_bus_message_append(reply, "d", 1.0);
}

int status(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
           sd_bus_error*) {
    return sd_bus_message_append(reply, "s", playerNow().status);
}

int canStep(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
            sd_bus_error*) {
    return sd_bus_message_append(reply, "b", musicTrackCount() > 1);
}

int canSeek(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
            sd_bus_error*) {
    return sd_bus_message_append(reply, "b", musicSeconds() >= 0);
}

int position(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) {
    const double seconds = musicSeconds();
    return sd_bus_message_append(reply, "x",
                                 static_cast<std::int64_t>(seconds > 0 ? seconds * MICROSECONDS : 0));
}

int volume(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
           sd_bus_error*) {
    return sd_bus_message_append(reply, "d", musicVolume());
}

int setVolume(sd_bus*, const char*, const char*, const char*, sd_bus_message* value, void*,
              sd_bus_error*) {
    double wanted = 0;
    const int read = sd_bus_message_read(value, "d", &wanted);
    if (read >= 0) setMusicVolume(wanted);
    return read;
}

int metadata(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) {
    TrackTags tags;
    const bool playing = nowPlaying(tags);
    const std::string track = trackPath(playing ? trackNumber() : 0);
    int done = sd_bus_message_open_container(reply, 'a', "{sv}");
    if (done >= 0) done = sd_bus_message_append(reply, "{sv}", "mpris:trackid", "o", track.c_str());
    if (playing) {
        const std::string url = fileUrl(playingTrackPath());
        if (done >= 0) done = sd_bus_message_append(reply, "{sv}", "xesam:title", "s", tags.title.c_str());
        if (done >= 0) done = sd_bus_message_append(reply, "{sv}", "xesam:url", "s", url.c_str());
        if (done >= 0 && !tags.artist.empty()) {
            done = sd_bus_message_append(reply, "{sv}", "xesam:artist", "as", 1, tags.artist.c_str());
        }
        if (done >= 0 && !tags.album.empty()) {
            done = sd_bus_message_append(reply, "{sv}", "xesam:album", "s", tags.album.c_str());
        }
        if (done >= 0 && tags.lengthMs > 0) {
            done = sd_bus_message_append(reply, "{sv}", "mpris:length", "x",
                                         static_cast<std::int64_t>(tags.lengthMs) * 1000);
        }
    }
    return done >= 0 ? sd_bus_message_close_container(reply) : done;
}

constexpr auto CONST = SD_BUS_VTABLE_PROPERTY_CONST;
constexpr auto CHANGES = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;

const sd_bus_vtable rootInterface[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Raise", "", "", raise, 0),
    SD_BUS_METHOD("Quit", "", "", quit, 0),
    SD_BUS_PROPERTY("CanQuit", "b", yes, 0, CONST),
    SD_BUS_PROPERTY("CanRaise", "b", no, 0, CONST),
    SD_BUS_PROPERTY("HasTrackList", "b", no, 0, CONST),
    SD_BUS_PROPERTY("Identity", "s", identity, 0, CONST),
    SD_BUS_PROPERTY("DesktopEntry", "s", desktopEntry, 0, CONST),
    SD_BUS_PROPERTY("SupportedUriSchemes", "as", noStrings, 0, CONST),
    SD_BUS_PROPERTY("SupportedMimeTypes", "as", noStrings, 0, CONST),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable playerInterface[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Next", "", "", next, 0),
    SD_BUS_METHOD("Previous", "", "", previous, 0),
    SD_BUS_METHOD("Pause", "", "", pause, 0),
    SD_BUS_METHOD("PlayPause", "", "", playPause, 0),
    SD_BUS_METHOD("Stop", "", "", stop, 0),
    SD_BUS_METHOD("Play", "", "", play, 0),
    SD_BUS_METHOD("Seek", "x", "", seek, 0),
    SD_BUS_METHOD("SetPosition", "ox", "", setPosition, 0),
    SD_BUS_METHOD("OpenUri", "s", "", openUri, 0),
    SD_BUS_SIGNAL("Seeked", "x", 0),
    SD_BUS_PROPERTY("PlaybackStatus", "s", status, 0, CHANGES),
    SD_BUS_PROPERTY("Metadata", "a{sv}", metadata, 0, CHANGES),
    SD_BUS_WRITABLE_PROPERTY("Volume", "d", volume, setVolume, 0, CHANGES),
    SD_BUS_PROPERTY("Position", "x", position, 0, 0),
    SD_BUS_PROPERTY("Rate", "d", one, 0, CONST),
    SD_BUS_PROPERTY("MinimumRate", "d", one, 0, CONST),
    SD_BUS_PROPERTY("MaximumRate", "d", one, 0, CONST),
    SD_BUS_PROPERTY("CanGoNext", "b", canStep, 0, CHANGES),
    SD_BUS_PROPERTY("CanGoPrevious", "b", canStep, 0, CHANGES),
    SD_BUS_PROPERTY("CanPlay", "b", yes, 0, CONST),
    SD_BUS_PROPERTY("CanPause", "b", yes, 0, CONST),
    SD_BUS_PROPERTY("CanSeek", "b", canSeek, 0, CHANGES),
    SD_BUS_PROPERTY("CanControl", "b", yes, 0, CONST),
    SD_BUS_VTABLE_END,
};

// What has changed since the bus was last told; the values go out as the getters read them.
void tellChanges() {
    const PlayerView now = playerNow();
    const char* changed[8] = {};
    int count = 0;
    if (std::strcmp(now.status, told.status) != 0) changed[count++] = "PlaybackStatus";
    if (now.volume != told.volume) changed[count++] = "Volume";
    // A new track may seek where the last could not.
    if (now.track != told.track) changed[count++] = "Metadata";
    if (now.track != told.track) changed[count++] = "CanSeek";
    if (now.canStep != told.canStep) changed[count++] = "CanGoNext";
    if (now.canStep != told.canStep) changed[count++] = "CanGoPrevious";
    told = now;
    if (count > 0) {
        sd_bus_emit_properties_changed_strv(bus, MPRIS_PATH, PLAYER_INTERFACE,
                                            const_cast<char**>(changed));
    }
}

// Where another dancer has the name, this one takes its own, as the desktop's controls expect.
int onNameRequested(sd_bus_message* answer, void*, sd_bus_error*) {
    if (!sd_bus_message_is_method_error(answer, nullptr)) return 0;
    const std::string instance = PLAYER_NAME + std::string(".instance") + std::to_string(getpid());
    sd_bus_request_name_async(bus, nullptr, instance.c_str(), 0, nullptr, nullptr);
    return 0;
}

// ---- The screen saver --------------------------------------------------------------------------

// An inhibition asked of one service: it is asked back as soon as it is held and no longer wanted,
// even if that is before the service answered.
struct Inhibition {
    bool asking = false;
    bool held = false;
    std::uint32_t cookie = 0;  // the screen saver's
    std::string request;       // the portal's: a request object, closed to let go
};
bool idlenessInhibited = false;  // what the program wants
Inhibition screenSaver;
Inhibition portal;

void letGo(Inhibition& inhibition, bool ofPortal) {
    if (!inhibition.held) return;
    inhibition.held = false;
    if (ofPortal) {
        sd_bus_call_method_async(bus, nullptr, "org.freedesktop.portal.Desktop",
                                 inhibition.request.c_str(), "org.freedesktop.portal.Request",
                                 "Close", nullptr, nullptr, "");
    } else {
        sd_bus_call_method_async(bus, nullptr, "org.freedesktop.ScreenSaver",
                                 "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                                 "UnInhibit", nullptr, nullptr, "u", inhibition.cookie);
    }
}

int onInhibited(sd_bus_message* answer, void* which, sd_bus_error*) {
    const bool ofPortal = which == &portal;
    Inhibition& inhibition = *static_cast<Inhibition*>(which);
    inhibition.asking = false;
    // No such service, or it refused.
    if (sd_bus_message_is_method_error(answer, nullptr)) return 0;
    const char* request = nullptr;
    const int read = ofPortal ? sd_bus_message_read(answer, "o", &request)
                              : sd_bus_message_read(answer, "u", &inhibition.cookie);
    if (read < 0) return 0;
    if (ofPortal) inhibition.request = request;
    inhibition.held = true;
    if (!idlenessInhibited) letGo(inhibition, ofPortal);
    return 0;
}

// Asked only of a service that runs: starting one for this would be no use.
void ask(Inhibition& inhibition, const char* service, const char* path, const char* interface,
         sd_bus_message_handler_t append) {
    if (inhibition.asking || inhibition.held) return;
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus, &call, service, path, interface, "Inhibit") < 0) return;
    sd_bus_message_set_auto_start(call, 0);
    if (append(call, nullptr, nullptr) >= 0 &&
        sd_bus_call_async(bus, nullptr, call, onInhibited, &inhibition, 0) >= 0) {
        inhibition.asking = true;
    }
    sd_bus_message_unref(call);
}

constexpr char WHY[] = "Dancing full screen to music";

int screenSaverArguments(sd_bus_message* call, void*, sd_bus_error*) {
    return sd_bus_message_append(call, "ss", "dancer", WHY);
}

int portalArguments(sd_bus_message* call, void*, sd_bus_error*) {
    constexpr std::uint32_t IDLE = 8;
    return sd_bus_message_append(call, "sua{sv}", "", IDLE, 1, "reason", "s", WHY);
}

void letGoAtExit() {
    if (bus == nullptr) return;
    idlenessInhibited = false;
    // An inhibition asked for and not answered yet is let go as its answer comes: that is waited
    // for, up to 100 ms.
    for (int waits = 0; waits < 10 && (screenSaver.asking || portal.asking); ++waits) {
        if (sd_bus_process(bus, nullptr) == 0 && sd_bus_wait(bus, 10000) < 0) break;
    }
    letGo(screenSaver, false);
    letGo(portal, true);
    disconnect();
}

// ---- The desktop's players, followed ---------------------------------------------------------

bool following = false;
struct DesktopPlayer {
    bool playing = false;
    std::string track;  // its id, title and artist: any of them changing is another track
    TrackTags tags;
};
std::map<std::string, DesktopPlayer> desktopPlayers;  // by unique bus name
bool desktopTrackNew = false;  // a player that plays has started another track since last asked
TrackTags desktopTrack;

// Reads a variant holding a string (or an object path, as some players send track ids).
void readString(sd_bus_message* message, std::string& value) {
    const char* text = nullptr;
    if (sd_bus_message_enter_container(message, 'v', "s") > 0 ||
        sd_bus_message_enter_container(message, 'v', "o") > 0) {
        char type = 0;
        sd_bus_message_peek_type(message, &type, nullptr);
        if (sd_bus_message_read_basic(message, type, &text) > 0) value = text;
        sd_bus_message_exit_container(message);
    } else {
        sd_bus_message_skip(message, "v");
    }
}

void readArtists(sd_bus_message* message, std::string& value) {
    char** artists = nullptr;
    if (sd_bus_message_enter_container(message, 'v', "as") <= 0) {
        sd_bus_message_skip(message, "v");
        return;
    }
    if (sd_bus_message_read_strv(message, &artists) >= 0 && artists != nullptr) {
        for (char** artist = artists; *artist != nullptr; ++artist) {
            value += (value.empty() ? "" : ", ") + std::string(*artist);
            std::free(*artist);
        }
        std::free(artists);
    }
    sd_bus_message_exit_container(message);
}

// A player's properties, all or those that changed (a{sv}), as they come.
void readPlayer(sd_bus_message* message, DesktopPlayer& player) {
    if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) return;
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read(message, "s", &name) < 0) break;
        if (std::strcmp(name, "PlaybackStatus") == 0) {
            std::string status;
            readString(message, status);
            player.playing = status == "Playing";
        } else if (std::strcmp(name, "Metadata") == 0 &&
                   sd_bus_message_enter_container(message, 'v', "a{sv}") > 0) {
            std::string id, title, artist;
            sd_bus_message_enter_container(message, 'a', "{sv}");
            while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
                const char* key = nullptr;
                if (sd_bus_message_read(message, "s", &key) < 0) break;
                if (std::strcmp(key, "mpris:trackid") == 0) readString(message, id);
                else if (std::strcmp(key, "xesam:title") == 0) readString(message, title);
                else if (std::strcmp(key, "xesam:artist") == 0) readArtists(message, artist);
                else sd_bus_message_skip(message, "v");
                sd_bus_message_exit_container(message);
            }
            sd_bus_message_exit_container(message);
            sd_bus_message_exit_container(message);
            player.track = id + '\n' + title + '\n' + artist;
            player.tags.title = shownName(title);
            player.tags.artist = shownName(artist);
        } else {
            sd_bus_message_skip(message, "v");
        }
        sd_bus_message_exit_container(message);
    }
    sd_bus_message_exit_container(message);
}

// Another track of a player that plays is news; one that was playing before it was found is not.
void update(const char* sender, sd_bus_message* properties, bool quietly) {
    DesktopPlayer& player = desktopPlayers[sender];
    const std::string trackBefore = player.track;
    readPlayer(properties, player);
    if (player.playing && player.track != trackBefore && !player.tags.title.empty() && !quietly) {
        desktopTrackNew = true;
        desktopTrack = player.tags;
    }
}

int onPropertiesChanged(sd_bus_message* signal, void*, sd_bus_error*) {
    const char* interface = nullptr;
    if (sd_bus_message_read(signal, "s", &interface) >= 0 &&
        std::strcmp(interface, PLAYER_INTERFACE) == 0) {
        update(sd_bus_message_get_sender(signal), signal, false);
    }
    return 0;
}

int onPlayerFound(sd_bus_message* answer, void* quietly, sd_bus_error*) {
    if (!sd_bus_message_is_method_error(answer, nullptr)) {
        update(sd_bus_message_get_sender(answer), answer, quietly != nullptr);
    }
    return 0;
}

void askPlayer(const char* name, bool quietly) {
    if (std::strncmp(name, "org.mpris.MediaPlayer2.", 23) != 0) return;
    sd_bus_call_method_async(bus, nullptr, name, MPRIS_PATH, "org.freedesktop.DBus.Properties",
                             "GetAll", onPlayerFound, quietly ? &following : nullptr, "s",
                             PLAYER_INTERFACE);
}

int onNameOwnerChanged(sd_bus_message* signal, void*, sd_bus_error*) {
    const char* name = nullptr;
    const char* before = nullptr;
    const char* after = nullptr;
    if (sd_bus_message_read(signal, "sss", &name, &before, &after) < 0) return 0;
    if (*before != '\0') desktopPlayers.erase(before);
    if (*after != '\0') askPlayer(name, false);
    return 0;
}

int onNamesListed(sd_bus_message* answer, void*, sd_bus_error*) {
    char** names = nullptr;
    if (sd_bus_message_is_method_error(answer, nullptr) ||
        sd_bus_message_read_strv(answer, &names) < 0 || names == nullptr) {
        return 0;
    }
    for (char** name = names; *name != nullptr; ++name) {
        askPlayer(*name, true);
        std::free(*name);
    }
    std::free(names);
    return 0;
}
}  // namespace

void offerMediaPlayer() {
    if (!connect()) return;
    std::atexit(letGoAtExit);
    told = playerNow();
    offered = sd_bus_add_object_vtable(bus, nullptr, MPRIS_PATH, ROOT_INTERFACE, rootInterface,
                                       nullptr) >= 0 &&
              sd_bus_add_object_vtable(bus, nullptr, MPRIS_PATH, PLAYER_INTERFACE,
                                       playerInterface, nullptr) >= 0 &&
              sd_bus_request_name_async(bus, nullptr, PLAYER_NAME, 0, onNameRequested,
                                        nullptr) >= 0;
}

void followDesktopPlayers() {
    if (!connect()) return;
    std::atexit(letGoAtExit);
    following =
        sd_bus_match_signal_async(bus, nullptr, nullptr, MPRIS_PATH,
                                  "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                  onPropertiesChanged, nullptr, nullptr) >= 0 &&
        sd_bus_add_match_async(bus, nullptr,
                               "type='signal',sender='org.freedesktop.DBus',"
                               "member='NameOwnerChanged',arg0namespace='org.mpris.MediaPlayer2'",
                               onNameOwnerChanged, nullptr, nullptr) >= 0 &&
        sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "ListNames", onNamesListed, nullptr,
                                 "") >= 0;
}

void pollSessionBus() {
    if (bus == nullptr) return;
    // Asking sd-bus itself, cold, costs microseconds too: it is asked whether it has something
    // left to write or a call has run out of time only every 10th tick (200 ms).
    if (!busStirred && (++quietTicks % 10 != 0 ||
                        ((sd_bus_get_events(bus) & POLLOUT) == 0 && !busTimeUp()))) {
        if (offered) tellChanges();
        return;
    }
    busStirred = false;
    int handled = 0;
    while ((handled = sd_bus_process(bus, nullptr)) > 0) {
    }
    // The bus went: the music plays on, without it.
    if (handled < 0) {
        disconnect();
        return;
    }
    wakeWatch();
    if (quitAsked) std::exit(0);
    if (offered) tellChanges();
}

void inhibitIdleness(bool inhibit) {
    idlenessInhibited = inhibit;
    if (bus == nullptr) return;
    if (inhibit) {
        ask(screenSaver, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
            "org.freedesktop.ScreenSaver", screenSaverArguments);
        ask(portal, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
            "org.freedesktop.portal.Inhibit", portalArguments);
    } else {
        letGo(screenSaver, false);
        letGo(portal, true);
    }
}

bool desktopTrackStarted(TrackTags& tags) {
    if (!desktopTrackNew) return false;
    desktopTrackNew = false;
    tags = desktopTrack;
    return true;
}

bool desktopNowPlaying(TrackTags& tags) {
    for (const auto& [name, player] : desktopPlayers) {
        if (player.playing && !player.tags.title.empty()) {
            tags = player.tags;
            return true;
        }
    }
    return false;
}
