#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/session_bus/bus.h"
#include "app/session_bus/session_bus.h"
#include "motion/music.h"
#include "motion/sound/names.h"

// The music as a media player, in the desktop's media player interface (MPRIS 2).
namespace {
bool quitAsked = false;  // set by Quit, acted on once the message has been handled

constexpr char PLAYER_NAME[] = "org.mpris.MediaPlayer2.dancer";
constexpr char MPRIS_PATH[] = "/org/mpris/MediaPlayer2";
constexpr char ROOT_INTERFACE[] = "org.mpris.MediaPlayer2";
constexpr char PLAYER_INTERFACE[] = "org.mpris.MediaPlayer2.Player";
// Track ids live in the program's own namespace: the desktop's interface keeps /org/mpris to itself.
constexpr char TRACK_PATH[] = "/org/example/dancer/track/";  // then the track's number
constexpr char NO_TRACK[] = "/org/mpris/MediaPlayer2/TrackList/NoTrack";
constexpr double MICROSECONDS = 1e6;

bool offered = false;

// What the player interface last told the bus, to tell it only what has changed.
struct PlayerView {
    const char* status = "";
    unsigned track = 0;
    int volume = -1;
    bool canStep = false;
    bool canPlay = false;
    unsigned jumps = 0;
};
PlayerView told;

const char* statusName(PlayerStatus status) {
    switch (status) {
        case PlayerStatus::Playing: return "Playing";
        case PlayerStatus::Paused: return "Paused";
        case PlayerStatus::Stopped: break;
    }
    return "Stopped";
}

PlayerView playerNow() {
    PlayerView now;
    now.status = statusName(player().status);
    now.track = player().track;
    now.volume = static_cast<int>(player().volume * 1000);
    now.canStep = player().tracks > 1;
    now.canPlay = player().canPlay;
    now.jumps = player().jumps;
    return now;
}

std::string trackPath(unsigned track) {
    return track == 0 ? NO_TRACK : TRACK_PATH + std::to_string(track);
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
    togglePause();
    return reply(call, 0);
}

int stop(sd_bus_message* call, void*, sd_bus_error*) {
    stopMusicAtStart();
    return reply(call, 0);
}

bool canSeek() {
    return player().canPlay && player().seconds >= 0;
}

// A jump past the track's end goes on to the next one; one before its start goes to the start.
int seek(sd_bus_message* call, void*, sd_bus_error*) {
    std::int64_t offset = 0;
    const int read = sd_bus_message_read(call, "x", &offset);
    const double to = player().seconds + static_cast<double>(offset) / MICROSECONDS;
    if (read < 0 || !canSeek()) return reply(call, read);
    if (player().length >= 0 && to >= player().length) {
        skipTrack(1);
    } else {
        seekMusic(to);
    }
    return reply(call, read);
}

// A position for a track no longer playing is stale, and one outside the track is no place in it.
int setPosition(sd_bus_message* call, void*, sd_bus_error*) {
    const char* track = nullptr;
    std::int64_t position = 0;
    const int read = sd_bus_message_read(call, "ox", &track, &position);
    const double seconds = static_cast<double>(position) / MICROSECONDS;
    if (read >= 0 && canSeek() && trackPath(player().track) == track && position >= 0 &&
        (player().length < 0 || seconds <= player().length)) {
        seekMusic(seconds);
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

// The menu entry's name, without ".desktop".
int desktopEntry(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                 sd_bus_error*) {
    return sd_bus_message_append(reply, "s", DANCER_APP_ID);
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

// The music plays at its own rate only; a rate of 0 asks for a pause, as the desktop's interface
// has it, and any other is ignored.
int setRate(sd_bus*, const char*, const char*, const char*, sd_bus_message* value, void*,
            sd_bus_error*) {
    double wanted = 1;
    const int read = sd_bus_message_read(value, "d", &wanted);
    if (read >= 0 && wanted == 0) pauseMusic(true);
    return read;
}

int canPlay(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
            sd_bus_error*) {
    return sd_bus_message_append(reply, "b", player().canPlay);
}

int status(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
           sd_bus_error*) {
    return sd_bus_message_append(reply, "s", playerNow().status);
}

int canStep(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
            sd_bus_error*) {
    return sd_bus_message_append(reply, "b", player().tracks > 1);
}

int canSeek(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
            sd_bus_error*) {
    return sd_bus_message_append(reply, "b", canSeek());
}

int position(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) {
    const double seconds = player().seconds;
    const auto microseconds = static_cast<std::int64_t>(seconds > 0 ? seconds * MICROSECONDS : 0);
    return sd_bus_message_append(reply, "x", microseconds);
}

int volume(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
           sd_bus_error*) {
    return sd_bus_message_append(reply, "d", player().volume);
}

int setVolume(sd_bus*, const char*, const char*, const char*, sd_bus_message* value, void*,
              sd_bus_error* error) {
    double wanted = 0;
    const int read = sd_bus_message_read(value, "d", &wanted);
    if (read < 0) return read;
    if (std::isnan(wanted)) return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "no volume");
    setMusicVolume(wanted);
    return 0;
}

// One entry of the metadata, while none has failed.
template <typename... Value>
void add(sd_bus_message* reply, int& done, const char* key, const char* type, Value... value) {
    if (done >= 0) done = sd_bus_message_append(reply, "{sv}", key, type, value...);
}

int metadata(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) {
    TrackTags tags;
    const bool playing = nowPlaying(tags);
    const std::string track = trackPath(playing ? player().track : 0);
    int done = sd_bus_message_open_container(reply, 'a', "{sv}");
    add(reply, done, "mpris:trackid", "o", track.c_str());
    if (playing) {
        const std::string url = fileUrl(player().path);
        add(reply, done, "xesam:title", "s", tags.title.c_str());
        add(reply, done, "xesam:url", "s", url.c_str());
        if (!tags.artist.empty()) add(reply, done, "xesam:artist", "as", 1, tags.artist.c_str());
        if (!tags.album.empty()) add(reply, done, "xesam:album", "s", tags.album.c_str());
        const std::int64_t lengthUs = static_cast<std::int64_t>(tags.lengthMs) * 1000;
        if (lengthUs > 0) add(reply, done, "mpris:length", "x", lengthUs);
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
    SD_BUS_WRITABLE_PROPERTY("Rate", "d", one, setRate, 0, 0),
    SD_BUS_PROPERTY("MinimumRate", "d", one, 0, CONST),
    SD_BUS_PROPERTY("MaximumRate", "d", one, 0, CONST),
    SD_BUS_PROPERTY("CanGoNext", "b", canStep, 0, CHANGES),
    SD_BUS_PROPERTY("CanGoPrevious", "b", canStep, 0, CHANGES),
    SD_BUS_PROPERTY("CanPlay", "b", canPlay, 0, CHANGES),
    SD_BUS_PROPERTY("CanPause", "b", canPlay, 0, CHANGES),
    SD_BUS_PROPERTY("CanSeek", "b", canSeek, 0, CHANGES),
    SD_BUS_PROPERTY("CanControl", "b", yes, 0, CONST),
    SD_BUS_VTABLE_END,
};

// What has changed since the bus was last told; the values go out as the getters read them.
void tellChanges() {
    const PlayerView now = playerNow();
    const char* changed[10] = {};
    int count = 0;
    if (std::strcmp(now.status, told.status) != 0) changed[count++] = "PlaybackStatus";
    if (now.volume != told.volume) changed[count++] = "Volume";
    // A new track may seek where the last could not.
    if (now.track != told.track) changed[count++] = "Metadata";
    if (now.track != told.track || now.canPlay != told.canPlay) changed[count++] = "CanSeek";
    if (now.canStep != told.canStep) changed[count++] = "CanGoNext";
    if (now.canStep != told.canStep) changed[count++] = "CanGoPrevious";
    if (now.canPlay != told.canPlay) changed[count++] = "CanPlay";
    if (now.canPlay != told.canPlay) changed[count++] = "CanPause";
    if (now.jumps != told.jumps) {
        sd_bus_emit_signal(sessionBus(), MPRIS_PATH, PLAYER_INTERFACE, "Seeked", "x",
                           static_cast<std::int64_t>(std::max(player().seconds, 0.0) * MICROSECONDS));
    }
    told = now;
    if (count > 0) {
        sd_bus_emit_properties_changed_strv(sessionBus(), MPRIS_PATH, PLAYER_INTERFACE,
                                            const_cast<char**>(changed));
    }
}

// Where another dancer has the name, this one takes its own, as the desktop's controls expect. The
// bus says so in its answer: 3, the name exists, asked for without waiting in line for it.
int onNameRequested(sd_bus_message* answer, void*, sd_bus_error*) {
    constexpr std::uint32_t NAME_EXISTS = 3;
    std::uint32_t outcome = 0;
    if (!sd_bus_message_is_method_error(answer, nullptr) &&
        (sd_bus_message_read(answer, "u", &outcome) < 0 || outcome != NAME_EXISTS)) {
        return 0;
    }
    const std::string instance = PLAYER_NAME + std::string(".instance") + std::to_string(getpid());
    sd_bus_request_name_async(sessionBus(), nullptr, instance.c_str(), 0, nullptr, nullptr);
    return 0;
}
}  // namespace

void tellMediaPlayerChanges() {
    if (quitAsked) std::exit(0);
    if (offered) tellChanges();
}

void offerMediaPlayer() {
    sd_bus* bus = connectedBus();
    if (bus == nullptr) return;
    told = playerNow();
    offered = sd_bus_add_object_vtable(bus, nullptr, MPRIS_PATH, ROOT_INTERFACE, rootInterface,
                                       nullptr) >= 0 &&
              sd_bus_add_object_vtable(bus, nullptr, MPRIS_PATH, PLAYER_INTERFACE,
                                       playerInterface, nullptr) >= 0 &&
              sd_bus_request_name_async(bus, nullptr, PLAYER_NAME, 0, onNameRequested,
                                        nullptr) >= 0;
}
