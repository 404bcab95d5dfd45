#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/session_bus/bus.h"
#include "app/session_bus/session_bus.h"
#include "motion/sound/names.h"
#include "motion/sound/streams.h"

// The desktop's media players, followed while listening: what each plays, and whether it plays.
namespace {
constexpr char MPRIS_PATH[] = "/org/mpris/MediaPlayer2";
constexpr char PLAYER_INTERFACE[] = "org.mpris.MediaPlayer2.Player";
constexpr char ROOT_INTERFACE[] = "org.mpris.MediaPlayer2";
// Past this many players, others are not followed: no desktop has that many.
constexpr std::size_t PLAYERS_MAX = 64;
// The names players own; anything else that signals on their path is not followed.
constexpr char PLAYER_NAMES[] = "org.mpris.MediaPlayer2.";

// What the sound server's side is told of a player, and what the caption needs; its bus name and
// title are filled in as it is handed over.
struct DesktopPlayer : BusPlayer {
    std::string track;  // its id, title and artist: any of them changing is another track
    TrackTags tags;
};
// By unique bus name: each owns a player's name, and goes when it loses one.
std::map<std::string, DesktopPlayer> desktopPlayers;
bool desktopTrackNew = false;  // a player that plays has started another track since last asked
TrackTags desktopTrack;
unsigned long playerStarts = 0;   // players that started to play, as far as followed
bool playersChanged = false;      // since they were last handed over
int answersAwaited = 0;           // asked of the bus, not yet answered
bool playersListed = false;       // the bus has said which players there are, and all of them
                                  // have answered once
bool namesListed = false;         // the bus has said which names there are
// Asked whose process a player is: by the number each asking carries, the player's unique name.
std::map<std::uintptr_t, std::string> processesAsked;
std::uintptr_t askings = 0;
// Whose tracks are named: any player's, or, listening to one, only the one heard.
bool nameAnyPlayer = true;
std::string namedPlayer;

bool named(const std::string& busName) {
    return nameAnyPlayer || busName == namedPlayer;
}

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
            if (status == "Playing" && !player.playing) player.startedPlaying = ++playerStarts;
            player.playing = status == "Playing";
        } else if (std::strcmp(name, "Identity") == 0) {
            readString(message, player.identity);
            player.identity = cleanName(player.identity);
        } else if (std::strcmp(name, "DesktopEntry") == 0) {
            readString(message, player.desktopEntry);
            player.desktopEntry = cleanName(player.desktopEntry);
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
void update(const std::string& busName, sd_bus_message* properties, bool quietly) {
    DesktopPlayer& player = desktopPlayers[busName];
    const std::string trackBefore = player.track;
    readPlayer(properties, player);
    playersChanged = true;
    if (player.playing && player.track != trackBefore && !player.tags.title.empty() && !quietly &&
        named(busName)) {
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
        if (player != desktopPlayers.end()) update(player->first, signal, false);
    }
    return 0;
}

// The answer comes from the name's owner, before any word of its going.
void found(sd_bus_message* answer, bool quietly) {
    const char* owner = sd_bus_message_get_sender(answer);
    if (!sd_bus_message_is_method_error(answer, nullptr) && owner != nullptr &&
        (desktopPlayers.count(owner) != 0 || desktopPlayers.size() < PLAYERS_MAX)) {
        update(owner, answer, quietly);
    }
}

// Once the names are listed and every player has answered, the players are known.
void noteIfAllAnswered() {
    if (namesListed && answersAwaited == 0 && !playersListed) {
        playersListed = true;
        playersChanged = true;
    }
}

void answered() {
    --answersAwaited;
    noteIfAllAnswered();
}

// Whose process a player is, for its sound to be told apart from others'.
int onProcessFound(sd_bus_message* answer, void* asking, sd_bus_error*) {
    answered();
    const auto player = processesAsked.find(reinterpret_cast<std::uintptr_t>(asking));
    if (player == processesAsked.end()) return 0;
    const std::string busName = player->second;
    processesAsked.erase(player);
    std::uint32_t process = 0;
    const auto known = desktopPlayers.find(busName);
    if (known == desktopPlayers.end() || sd_bus_message_is_method_error(answer, nullptr) ||
        sd_bus_message_read(answer, "u", &process) < 0) {
        return 0;
    }
    known->second.process = process;
    playersChanged = true;
    return 0;
}

void askProcess(const std::string& busName) {
    if (sd_bus_call_method_async(sessionBus(), nullptr, "org.freedesktop.DBus",
                                 "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "GetConnectionUnixProcessID", onProcessFound,
                                 reinterpret_cast<void*>(askings + 1), "s", busName.c_str()) >= 0) {
        processesAsked[++askings] = busName;
        ++answersAwaited;
    }
}

// `first` (any non-null) marks an answer asked for as following began.
int onPlayerFound(sd_bus_message* answer, void* first, sd_bus_error*) {
    const char* owner = sd_bus_message_get_sender(answer);
    const bool isNew = owner != nullptr && desktopPlayers.count(owner) == 0;
    // Found as following begins: the track it plays then is not news.
    found(answer, first != nullptr);
    if (isNew && desktopPlayers.count(owner) != 0) askProcess(owner);
    answered();
    return 0;
}

void ask(const char* name, const char* interface, void* first) {
    if (sd_bus_call_method_async(sessionBus(), nullptr, name, MPRIS_PATH,
                                 "org.freedesktop.DBus.Properties", "GetAll", onPlayerFound, first,
                                 "s", interface) >= 0) {
        ++answersAwaited;
    }
}

void askPlayer(const char* name, void* first) {
    if (std::strncmp(name, PLAYER_NAMES, sizeof PLAYER_NAMES - 1) != 0) return;
    ask(name, PLAYER_INTERFACE, first);
    ask(name, ROOT_INTERFACE, first);
}

int onNameOwnerChanged(sd_bus_message* signal, void*, sd_bus_error*) {
    const char* name = nullptr;
    const char* before = nullptr;
    const char* after = nullptr;
    if (sd_bus_message_read(signal, "sss", &name, &before, &after) < 0) return 0;
    if (std::strncmp(name, PLAYER_NAMES, sizeof PLAYER_NAMES - 1) != 0) return 0;
    if (*before != '\0' && desktopPlayers.erase(before) != 0) playersChanged = true;
    if (*after != '\0') askPlayer(name, nullptr);
    return 0;
}

int onNamesListed(sd_bus_message* answer, void*, sd_bus_error*) {
    char** names = nullptr;
    if (sd_bus_message_is_method_error(answer, nullptr) ||
        sd_bus_message_read_strv(answer, &names) < 0 || names == nullptr) {
        // Nothing to follow: no player is all there is to know.
        playersListed = true;
        playersChanged = true;
        return 0;
    }
    static int first;
    for (char** name = names; *name != nullptr; ++name) {
        askPlayer(*name, &first);
        std::free(*name);
    }
    std::free(names);
    namesListed = true;
    noteIfAllAnswered();
    return 0;
}
}  // namespace

void followDesktopPlayers() {
    sd_bus* bus = connectedBus();
    if (bus == nullptr) {
        playersListed = true;
        playersChanged = true;
        return;
    }
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

bool desktopPlayersChanged(std::vector<BusPlayer>& players) {
    if (!playersChanged || !playersListed) return false;
    playersChanged = false;
    players.clear();
    for (const auto& [busName, known] : desktopPlayers) {
        BusPlayer& player = players.emplace_back(known);
        player.busName = busName;
        player.title = known.tags.title;
    }
    return true;
}

void nameOnlyPlayer(const std::string& busName, bool any) {
    if (any == nameAnyPlayer && busName == namedPlayer) return;
    nameAnyPlayer = any;
    namedPlayer = busName;
    // The player now heard, playing a track, has it named.
    const auto player = desktopPlayers.find(busName);
    if (!any && player != desktopPlayers.end() && player->second.playing &&
        !player->second.tags.title.empty()) {
        desktopTrackNew = true;
        desktopTrack = player->second.tags;
    }
}

std::vector<BusPlayer> askDesktopPlayers() {
    std::vector<BusPlayer> players;
    followDesktopPlayers();
    sd_bus* bus = sessionBus();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (bus != nullptr && !playersListed && std::chrono::steady_clock::now() < deadline) {
        if (sd_bus_process(bus, nullptr) > 0) continue;
        if (sd_bus_wait(bus, 100000) < 0) break;
    }
    desktopPlayersChanged(players);
    return players;
}

bool desktopTrackStarted(TrackTags& tags) {
    if (!desktopTrackNew) return false;
    desktopTrackNew = false;
    tags = desktopTrack;
    return true;
}

bool desktopNowPlaying(TrackTags& tags) {
    for (const auto& [name, player] : desktopPlayers) {
        if (player.playing && !player.tags.title.empty() && named(name)) {
            tags = player.tags;
            return true;
        }
    }
    return false;
}
