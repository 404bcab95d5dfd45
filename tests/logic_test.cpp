// What the program makes of names and lists from outside, against tables worked out by hand.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "motion/sound/library.h"
#include "motion/sound/messages.h"
#include "motion/sound/names.h"
#include "motion/sound/playlist.h"
#include "motion/sound/streams.h"

using Strings = std::vector<std::string>;
const std::string BAD = "\xef\xbf\xbd";  // U+FFFD

TEST(Names, AnyBytesBecomeOneLineOfValidUtf8WithinTheBound) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Caf\xc3\xa9 \xe6\x97\xa5 Caf\xe9", "Caf\xc3\xa9 \xe6\x97\xa5 Caf" + BAD},
        {"a\nb\tc\x1b[31m\x7f\xc2\x85" "d\xc2\x9b\xe2\x80\xa8\xe2\x80\xa9", "a b c [31m  d   "},
        {"\xc0\xaf\xed\xa0\x80", BAD + BAD + BAD + BAD + BAD},
        {"\xf4\x90\x80\x80x\xe2\x82", BAD + BAD + BAD + BAD + "x" + BAD + BAD},
    };
    for (const auto& [name, clean] : cases) EXPECT_EQ(cleanName(name), clean) << name;
    EXPECT_EQ(cleanName(std::string(1023, 'a') + "\xc3\xa9"), std::string(1023, 'a'));
    EXPECT_EQ(cleanName(std::string(2000, '\xe9')).size(), 1023u);
    EXPECT_EQ(titleFromPath("/m/x.y/Caf\xe9.live.mp3"), "Caf" + BAD + ".live");
}

TEST(Names, FileUrlsKeepEveryByteOfThePath) {
    EXPECT_EQ(fileUrl("/m/a b%#\xe9/~x-1_.mp3"), "file:///m/a%20b%25%23%E9/~x-1_.mp3");
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    EXPECT_EQ(fileUrl("a b.mp3"), fileUrl(std::string(here) + "/a b.mp3"));
}

TEST(Messages, NamesAreEscapedSoThatTheyCannotDriveTheTerminal) {
    EXPECT_EQ(escapedName("a\x1b[31m\n\t\xc2\x9b\xe9\xc3\xa9"),
              "a\\e[31m\\n\\t\\xc2\\x9b\\xe9\xc3\xa9");
}

TEST(Playlist, EntriesInOrderAnchoredAtTheirFolderAndBounded) {
    const std::string m3u = "\xef\xbb\xbf#EXTM3U\n a.mp3 \r\n\n#b.mp3\n/c.ogg\n"
                            "file:///m/d%20e.flac\nfile://localhost/f.wav\nhttp://r/s\n";
    const Strings entries = {"/l/a.mp3", "/c.ogg", "/m/d e.flac", "/f.wav", "http://r/s"};
    EXPECT_EQ(readPlaylist(m3u, PlaylistKind::M3u, "/l/", 9), entries);
    EXPECT_EQ(readPlaylist(m3u, PlaylistKind::M3u, "/l/", 2), (Strings{"/l/a.mp3", "/c.ogg"}));
    const std::string pls = "[playlist]\nFile10=ten.mp3\nfile2=two.mp3\nTitle1=x\nFile1=one.mp3\n";
    EXPECT_EQ(readPlaylist(pls, PlaylistKind::Pls, "/l/", 9),
              (Strings{"/l/one.mp3", "/l/two.mp3", "/l/ten.mp3"}));
}

TEST(Folder, NumbersByValueWordsCaseAsideThenBytes) {
    const Strings ordered = {"2 b", "02 c", "10 a", "a", "B", "b", "b01", "b1", "b2", "b10x"};
    for (std::size_t i = 1; i < ordered.size(); ++i) {
        EXPECT_TRUE(comesBeforeInFolder(ordered[i - 1], ordered[i])) << ordered[i];
        EXPECT_FALSE(comesBeforeInFolder(ordered[i], ordered[i - 1])) << ordered[i];
    }
}

// A browser's older stream playing and newer one paused, a player's from a helper process of its
// own, and one in a sandbox that only its name ties to its player.
const std::vector<SoundStream> STREAMS = {
    {3, 1, true, {40}, "Firefox", "firefox-esr", "Video"},
    {4, 1, false, {41}, "Firefox", "firefox-esr", "Song"},
    {5, 2, true, {52, 50}, "", "mpv", "tune - mpv"},
    {6, 1, true, {}, "Spotify", "spotify", "Spotify"},
};
const BusPlayer MPV = {":1.5", 50, "mpv Media Player", "mpv", "tune", true, 1};
const BusPlayer SPOTIFY = {":1.9", 0, "Spotify", "spotify", "Hit", true, 2};

static BusPlayer paused(BusPlayer player) {
    player.playing = false;
    return player;
}

TEST(Streams, TheNewestPlayingStreamOfTheApplicationNamedOrOfThePlayerThatStartedLast) {
    using Players = std::vector<BusPlayer>;
    // What is heard: its kind, its stream and output, whom lines name, and the player's bus name.
    const std::vector<std::tuple<ListenTo, std::string, Players, std::string>> cases = {
        {ListenTo::Application, "firefox", {MPV, SPOTIFY}, "2 3 1 firefox "},
        {ListenTo::Application, "Mpv Media Player", {MPV}, "2 5 2 Mpv Media Player :1.5"},
        {ListenTo::Application, "fire", {MPV}, "0 0 0 fire "},
        {ListenTo::Player, "", {MPV, SPOTIFY}, "2 6 1 Spotify :1.9"},
        {ListenTo::Player, "", {MPV, paused(SPOTIFY)}, "2 5 2 mpv Media Player :1.5"},
        {ListenTo::Player, "", {paused(MPV)}, "0 0 0 mpv Media Player "},
        {ListenTo::Player, "", {}, "1 0 0  "},
    };
    for (const auto& [to, app, players, heard] : cases) {
        const Listened chosen = chooseListened(to, app, STREAMS, players);
        EXPECT_EQ(std::to_string(chosen.kind) + " " + std::to_string(chosen.stream) + " " +
                      std::to_string(chosen.sink) + " " + chosen.who + " " + chosen.playerBusName,
                  heard)
            << app << " " << players.size();
    }
}

TEST(Streams, ListedByApplicationPausedWithItsPlayerAndWithItsPlayersTitle) {
    EXPECT_EQ(describeStream(STREAMS[1], {MPV}), "Firefox\tpaused\tSong");
    EXPECT_EQ(describeStream(STREAMS[2], {MPV}), "mpv\tplaying\ttune - mpv\ttune");
    EXPECT_EQ(describeStream(STREAMS[2], {paused(MPV)}), "mpv\tpaused\ttune - mpv\ttune");
}
