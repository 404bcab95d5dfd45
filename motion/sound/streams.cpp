#include "motion/sound/streams.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace {
bool sameIgnoringCase(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
}

bool namesStream(const std::string& app, const SoundStream& stream) {
    return namesApplication(app, stream.application) || namesApplication(app, stream.binary);
}

bool namesPlayer(const std::string& app, const BusPlayer& player) {
    return namesApplication(app, player.identity) || namesApplication(app, player.desktopEntry);
}

// The newest of the streams that `belongs` picks, if one plays.
template <typename Belongs>
const SoundStream* newestPlaying(const std::vector<SoundStream>& streams, Belongs belongs) {
    const SoundStream* newest = nullptr;
    for (const SoundStream& stream : streams) {
        const bool newer = newest == nullptr || stream.index > newest->index;
        if (stream.playing && belongs(stream) && newer) newest = &stream;
    }
    return newest;
}

bool namedAfter(const BusPlayer& player, const SoundStream& stream) {
    return (!player.desktopEntry.empty() && namesStream(player.desktopEntry, stream)) ||
           (!player.identity.empty() && namesStream(player.identity, stream));
}

Listened everything() {
    Listened listened;
    listened.kind = Listened::Everything;
    return listened;
}

Listened heard(const SoundStream* stream, std::string who, const BusPlayer* player) {
    Listened listened;
    listened.who = std::move(who);
    if (stream == nullptr) return listened;
    listened.kind = Listened::Stream;
    listened.stream = stream->index;
    listened.sink = stream->sink;
    if (player != nullptr) listened.playerBusName = player->busName;
    return listened;
}

Listened chooseApplication(const std::string& app, const std::vector<SoundStream>& streams,
                           const std::vector<BusPlayer>& players) {
    const SoundStream* stream = newestPlaying(streams, [&](const SoundStream& candidate) {
        if (namesStream(app, candidate)) return true;
        const BusPlayer* owner = playerOf(candidate, players);
        return owner != nullptr && namesPlayer(app, *owner);
    });
    return heard(stream, app, stream != nullptr ? playerOf(*stream, players) : nullptr);
}

Listened choosePlayer(const std::vector<SoundStream>& streams,
                      const std::vector<BusPlayer>& players) {
    if (players.empty()) return everything();
    // The one playing that started last; if none plays, the last that played, which rests.
    const auto later = [](const BusPlayer& a, const BusPlayer& b) {
        if (a.playing != b.playing) return b.playing;
        return a.startedPlaying < b.startedPlaying;
    };
    const BusPlayer& player = *std::max_element(players.begin(), players.end(), later);
    const std::string who = !player.identity.empty()       ? player.identity
                            : !player.desktopEntry.empty() ? player.desktopEntry
                                                           : "the desktop's media player";
    if (!player.playing) return heard(nullptr, who, nullptr);
    const bool ownsAny = std::any_of(streams.begin(), streams.end(), [&](const SoundStream& s) {
        return playerOwns(player, s);
    });
    // Where a sandbox or a separate sound process hides whose a stream is, its name tells.
    const SoundStream* stream = newestPlaying(streams, [&](const SoundStream& candidate) {
        return ownsAny ? playerOwns(player, candidate) : namedAfter(player, candidate);
    });
    return heard(stream, who, &player);
}
}  // namespace

bool namesApplication(const std::string& app, const std::string& name) {
    if (app.empty() || name.size() < app.size()) return false;
    if (!std::equal(app.begin(), app.end(), name.begin(), sameIgnoringCase)) return false;
    return name.size() == app.size() || name[app.size()] == '-' || name[app.size()] == '.';
}

bool playerOwns(const BusPlayer& player, const SoundStream& stream) {
    return player.process != 0 &&
           std::find(stream.processes.begin(), stream.processes.end(), player.process) !=
               stream.processes.end();
}

const BusPlayer* playerOf(const SoundStream& stream, const std::vector<BusPlayer>& players) {
    for (const BusPlayer& player : players) {
        if (playerOwns(player, stream)) return &player;
    }
    for (const BusPlayer& player : players) {
        if (namedAfter(player, stream)) return &player;
    }
    return nullptr;
}

std::string describeStream(const SoundStream& stream, const std::vector<BusPlayer>& players) {
    const BusPlayer* player = playerOf(stream, players);
    const bool playing = stream.playing && (player == nullptr || player->playing);
    std::string line = stream.application.empty() ? stream.binary : stream.application;
    line += playing ? "\tplaying\t" : "\tpaused\t";
    line += stream.description;
    if (player != nullptr && !player->title.empty()) line += "\t" + player->title;
    return line;
}

Listened chooseListened(ListenTo to, const std::string& app,
                        const std::vector<SoundStream>& streams,
                        const std::vector<BusPlayer>& players) {
    if (to == ListenTo::Application) return chooseApplication(app, streams, players);
    if (to == ListenTo::Player) return choosePlayer(streams, players);
    return everything();
}

std::vector<unsigned> processLineage(unsigned process) {
    std::vector<unsigned> lineage;
    constexpr int GENERATIONS_MAX = 64;
    while (process > 1 && lineage.size() < GENERATIONS_MAX) {
        lineage.push_back(process);
        const std::string path = "/proc/" + std::to_string(process) + "/stat";
        std::FILE* stat = std::fopen(path.c_str(), "re");
        if (stat == nullptr) break;
        char line[512];
        const bool read = std::fgets(line, sizeof line, stat) != nullptr;
        std::fclose(stat);
        // The command's name, in parentheses, may hold anything: the fields after its last ')'.
        const char* rest = read ? std::strrchr(line, ')') : nullptr;
        unsigned parent = 0;
        if (rest == nullptr || std::sscanf(rest, ") %*c %u", &parent) != 1) break;
        process = parent;
    }
    return lineage;
}
