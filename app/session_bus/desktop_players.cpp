#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "app/session_bus/bus.h"
#include "app/session_bus/session_bus.h"
#include "motion/sound/names.h"

// The desktop's media players, followed while listening: what each plays, and whether it plays.
namespace {
constexpr char MPRIS_PATH[] = "/org/mpris/MediaPlayer2";
constexpr char PLAYER_INTERFACE[] = "org.mpris.MediaPlayer2.Player";
// The names players own; anything else that signals on their path is not followed.
constexpr char PLAYER_NAMES[] = "org.mpris.MediaPlayer2.";

struct DesktopPlayer {
    bool playing = false;
    std::string track;  // its id, title and artist: any of them changing is another track
    TrackTags tags;
};
// By unique bus name: each owns a player's name, and goes when it loses one.
std::map<std::string, DesktopPlayer> desktopPlayers;
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
            // Past what a name keeps, more would only be cut off.
            if (value.size() <= NAME_BYTES_MAX) {
                value += (value.empty() ? "" : ", ") + std::string(*artist);
            }
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
            player.tags.title = cleanName(title);
            player.tags.artist = cleanName(artist);
            player.track = cleanName(id) + '\n' + player.tags.title + '\n' + player.tags.artist;
        } else {
            sd_bus_message_skip(message, "v");
        }
        sd_bus_message_exit_container(message);
    }
    sd_bus_message_exit_container(message);
}

// Another track of a player that plays is news; one that was playing before it was found is not.
void update(DesktopPlayer& player, sd_bus_message* properties, bool quietly) {
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
        const char* sender = sd_bus_message_get_sender(signal);
        const auto player = desktopPlayers.find(sender != nullptr ? sender : "");
        if (player != desktopPlayers.end()) update(player->second, signal, false);
    }
    return 0;
}

// The answer comes from the name's owner, before any word of its going.
void found(sd_bus_message* answer, bool quietly) {
    const char* owner = sd_bus_message_get_sender(answer);
    if (!sd_bus_message_is_method_error(answer, nullptr) && owner != nullptr) {
        update(desktopPlayers[owner], answer, quietly);
    }
}

int onPlayerFound(sd_bus_message* answer, void*, sd_bus_error*) {
    found(answer, false);
    return 0;
}

// Found as following begins: the track it plays then is not news.
int onPlayerFoundFirst(sd_bus_message* answer, void*, sd_bus_error*) {
    found(answer, true);
    return 0;
}

void askPlayer(const char* name, sd_bus_message_handler_t onAnswer) {
    if (std::strncmp(name, PLAYER_NAMES, sizeof PLAYER_NAMES - 1) != 0) return;
    sd_bus_call_method_async(sessionBus(), nullptr, name, MPRIS_PATH,
                             "org.freedesktop.DBus.Properties", "GetAll", onAnswer, nullptr, "s",
                             PLAYER_INTERFACE);
}

int onNameOwnerChanged(sd_bus_message* signal, void*, sd_bus_error*) {
    const char* name = nullptr;
    const char* before = nullptr;
    const char* after = nullptr;
    if (sd_bus_message_read(signal, "sss", &name, &before, &after) < 0) return 0;
    if (std::strncmp(name, PLAYER_NAMES, sizeof PLAYER_NAMES - 1) != 0) return 0;
    if (*before != '\0') desktopPlayers.erase(before);
    if (*after != '\0') askPlayer(name, onPlayerFound);
    return 0;
}

int onNamesListed(sd_bus_message* answer, void*, sd_bus_error*) {
    char** names = nullptr;
    if (sd_bus_message_is_method_error(answer, nullptr) ||
        sd_bus_message_read_strv(answer, &names) < 0 || names == nullptr) {
        return 0;
    }
    for (char** name = names; *name != nullptr; ++name) {
        askPlayer(*name, onPlayerFoundFirst);
        std::free(*name);
    }
    std::free(names);
    return 0;
}
}  // namespace

void followDesktopPlayers() {
    sd_bus* bus = connectedBus();
    if (bus == nullptr) return;
    // Players that come and go, what they play, and those already there. Should one of these
    // fail, the bus is failing too: nothing is followed, and nothing is said.
    sd_bus_match_signal_async(bus, nullptr, nullptr, MPRIS_PATH, "org.freedesktop.DBus.Properties",
                              "PropertiesChanged", onPropertiesChanged, nullptr, nullptr);
    sd_bus_add_match_async(bus, nullptr,
                           "type='signal',sender='org.freedesktop.DBus',"
                           "member='NameOwnerChanged',arg0namespace='org.mpris.MediaPlayer2'",
                           onNameOwnerChanged, nullptr, nullptr);
    sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "ListNames", onNamesListed, nullptr, "");
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
