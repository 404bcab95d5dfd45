// motion/sound/streams.h: which of the sound streams the desktop plays is listened to: everything
// the default output plays, one application's, or the desktop's media player's. Plain logic on
// what the sound server and the session bus say of them, names already cleaned; any thread.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// What --listen hears.
enum class ListenTo {
    Everything,   // the default output's monitor: all it plays
    Application,  // one application's streams
    Player,       // the streams of the desktop's media player that plays
};

// A stream playing into one of the server's outputs, as the server describes it.
struct SoundStream {
    std::uint32_t index = 0;          // the server's; a higher one is newer
    std::uint32_t sink = 0;           // the output it plays into
    bool playing = false;             // not corked
    std::vector<unsigned> processes;  // its process, then that one's parent, and so on up
    std::string application;          // application.name
    std::string binary;               // application.process.binary
    std::string description;          // media.name
};

// A media player on the desktop's session bus.
struct BusPlayer {
    std::string busName;               // its connection's unique name
    unsigned process = 0;              // its connection's process id; 0 until the bus has said
    std::string identity;              // Identity, as "mpv Media Player"
    std::string desktopEntry;          // DesktopEntry, as "mpv"
    std::string title;                 // the title of the track it plays; empty if none
    bool playing = false;              // PlaybackStatus "Playing"
    unsigned long startedPlaying = 0;  // grows with each start of any player; 0: never played
};

// What is listened to, or that nothing is: `who` names it in lines.
struct Listened {
    enum Kind { Nothing, Everything, Stream } kind = Nothing;
    std::uint32_t stream = 0;  // Stream: the stream recorded, and its output
    std::uint32_t sink = 0;
    std::string who;           // the application or player listened to; empty for Everything
    std::string playerBusName; // the player heard, where one is known to be
};

// Whether `app`, as given to --listen=, names `name`: equal ignoring case, or `name` starts with it
// (ignoring case) and goes on after a '-' or a '.', as "firefox" names "firefox-esr".
bool namesApplication(const std::string& app, const std::string& name);
// Whether the stream is the player's: its process, or one of its parents, is the player's.
bool playerOwns(const BusPlayer& player, const SoundStream& stream);
// The media player behind a stream: the one that owns it, or else, as a sandbox or a separate sound
// process hides whose it is, one whose DesktopEntry or Identity names it; nullptr if none.
const BusPlayer* playerOf(const SoundStream& stream, const std::vector<BusPlayer>& players);
// The line --list-players prints for a stream, tab-separated: the name to give --listen= (its
// application's name, or else its process's binary), "playing" or "paused", what it plays, and its
// player's title where it has both.
std::string describeStream(const SoundStream& stream, const std::vector<BusPlayer>& players);
// The stream to listen to for `to` (`app` for Application): of those that match, the newest one
// that plays; Nothing when none plays or, for Player, when the player chosen is not playing. Player
// chooses the player that plays, the one that started last if several do, and hears everything
// only when there is no player at all.
Listened chooseListened(ListenTo to, const std::string& app,
                        const std::vector<SoundStream>& streams,
                        const std::vector<BusPlayer>& players);
// The process and its parents from /proc, nearest first, as far as they can be read, up to 64 and
// short of the first process (init), which is everyone's.
std::vector<unsigned> processLineage(unsigned process);
