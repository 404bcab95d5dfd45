#include "app/command_line.h"

#include <cerrno>
#include <cstddef>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "app/render/render_plan.h"
#include "motion/sound/messages.h"
#include "motion/sound/names.h"

namespace {
const char USAGE[] = R"(Usage: dancer [OPTION]... [FILE|FOLDER|PLAYLIST]...
A jointed figure dances to music in an 800x800 window.

With no operand, dancer plays 1.mp3 from the working directory, over and over.
Files play in the order given, and the list starts again after the last. A
folder plays the music files in it and in every folder below it, each folder in
name order; hidden ones are passed over. A playlist (.m3u, .m3u8, .pls) plays
the files and folders it names, in its place. MP3, Ogg Vorbis, FLAC and WAV are
played, whatever the files are named.

      --listen     play nothing; dance to what the default output is playing
                   (another player, a browser, a game), through the sound server
      --listen=APP dance to what the application APP plays, and nothing else
                   (APP as --list-players names it: mpv, firefox, ...)
      --listen=player
                   dance to the desktop's media player that plays; rest while
                   it is paused
      --list-players
                   print what plays now, one stream a line: the name to give
                   --listen=, playing or paused, what it plays, and its media
                   player's title if it has one
      --fullscreen start full screen; f or F11 brings the window back
      --render OUT write a video of the dance to OUT instead of opening a window,
                   with the music as its sound track, each track once; no display
                   is needed. OUT ends in .mp4 (H.264, AAC), .mkv (H.264, FLAC)
                   or .webm (VP9, Opus)
      --size WxH   the video's size in pixels, even numbers (default 800x800)
      --fps N      the video's frames a second, 1 to 240 (default 50)
      --spin DEG   turn the figure DEG degrees a second in the video (default 0)
      --crf N      the video encoder's quality, 0 (best) to 51 (default 20)
      --force      replace OUT if it exists
      --help       display this help and exit
      --version    output version information and exit

GLUT's own options are taken too: -display DISPLAY, -geometry WxH+X+Y, -iconic,
-direct, -indirect, -gldebug and -sync.

In the window:
  drag with the left button    turn the figure
  Right, Left                  the next or previous track
  space                        pause the music, and play it on
  i                            show the title and artist of the track playing
  f, F11                       full screen, and back
  q, Q, Esc                    quit

On the desktop's session bus the music is the media player "dancer": media keys,
the desktop's controls and playerctl drive it. With --listen, the title of each
track another player starts shows. Full screen, while music is heard, the
screen is kept from blanking.
)";

// GLUT takes these out of the command line itself; the first two take a value.
const char* const GLUT_OPTIONS[] = {"-display", "-geometry", "-direct", "-indirect",
                                    "-iconic",  "-gldebug",  "-sync"};

// A whole number from `low` to `high`, all of `text`.
bool readWhole(const char* text, long low, long high, int& value) {
    char* end = nullptr;
    errno = 0;
    const long read = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || read < low || read > high) return false;
    value = static_cast<int>(read);
    return true;
}

bool readDegrees(const char* text, double& value) {
    char* end = nullptr;
    const double read = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(read) || std::fabs(read) > 36000) return false;
    value = read;
    return true;
}

// How many arguments a GLUT option spans; 0 for anything else.
int glutOptionLength(const char* argument) {
    for (std::size_t option = 0; option < std::size(GLUT_OPTIONS); ++option) {
        if (std::strcmp(argument, GLUT_OPTIONS[option]) == 0) return option < 2 ? 2 : 1;
    }
    return 0;
}

const char* const VIDEO_OPTIONS[] = {"--render", "--size", "--fps", "--spin", "--crf", "--force"};

// The video option `argument` is, alone or with "=value"; null for any other.
const char* videoOption(const char* argument) {
    for (const char* option : VIDEO_OPTIONS) {
        const std::size_t length = std::strlen(option);
        if (std::strncmp(argument, option, length) != 0) continue;
        const bool valueJoined = argument[length] == '=' && std::strcmp(option, "--force") != 0;
        if (argument[length] == '\0' || valueJoined) return option;
    }
    return nullptr;
}

const char* videoOptionValues(const char* option) {
    if (std::strcmp(option, "--size") == 0) return "even WIDTHxHEIGHT from 16x16 to 7680x4320";
    if (std::strcmp(option, "--fps") == 0) return "a whole number from 1 to 240";
    if (std::strcmp(option, "--crf") == 0) return "a whole number from 0 to 51";
    return "degrees a second, -36000 to 36000";
}
}  // namespace

CommandLine readCommandLine(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    CommandLine command;
    command.glutArgumentCount = argc;
    bool optionsEnded = false;
    const char* videoOptionSeen = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (optionsEnded || argument[0] != '-' || argument[1] == '\0') {
            command.operands.emplace_back(argument);
        } else if (std::strcmp(argument, "--") == 0) {
            optionsEnded = true;
            command.glutArgumentCount = i;
        } else if (std::strcmp(argument, "--listen") == 0) {
            command.listen = true;
        } else if (std::strncmp(argument, "--listen=", 9) == 0) {
            command.listen = true;
            command.listenedApp = cleanName(argument + 9);
            command.listenTo = command.listenedApp == "player" ? ListenTo::Player
                                                             : ListenTo::Application;
            if (command.listenedApp.empty()) {
                std::fputs("dancer: --listen= takes an application's name, or player; see "
                           "'dancer --help'\n", err);
                command.exitStatus = 2;
                return command;
            }
        } else if (std::strcmp(argument, "--list-players") == 0) {
            command.listPlayers = true;
        } else if (std::strcmp(argument, "--fullscreen") == 0) {
            command.fullScreen = true;
        } else if (const char* option = videoOption(argument); option != nullptr) {
            const char* value = std::strchr(argument, '=');
            if (std::strcmp(option, "--force") == 0) {
                command.force = true;
                videoOptionSeen = option;
                continue;
            }
            if (value != nullptr) {
                ++value;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                std::fprintf(err, "dancer: %s needs a value; see 'dancer --help'\n", option);
                command.exitStatus = 2;
                return command;
            }
            bool good = true;
            if (std::strcmp(option, "--render") == 0) {
                command.renderTo = value;
                Container container;
                if (!containerForName(command.renderTo, container)) {
                    std::fputs("dancer: --render writes a .mp4, .mkv or .webm file; see 'dancer "
                               "--help'\n", err);
                    command.exitStatus = 2;
                    return command;
                }
            } else {
                videoOptionSeen = option;
                if (std::strcmp(option, "--size") == 0) {
                    good = readFrameSize(value, command.width, command.height);
                } else if (std::strcmp(option, "--fps") == 0) {
                    good = readWhole(value, FPS_MIN, FPS_MAX, command.fps);
                } else if (std::strcmp(option, "--crf") == 0) {
                    good = readWhole(value, 0, 51, command.crf);
                } else {
                    good = readDegrees(value, command.spin);
                }
            }
            if (!good) {
                std::fprintf(err, "dancer: %s takes %s; see 'dancer --help'\n", option,
                             videoOptionValues(option));
                command.exitStatus = 2;
                return command;
            }
        } else if (std::strcmp(argument, "--help") == 0) {
            std::fputs(USAGE, out);
            command.exitStatus = 0;
            return command;
        } else if (std::strcmp(argument, "--version") == 0) {
            std::fputs("dancer " DANCER_VERSION "\n", out);
            command.exitStatus = 0;
            return command;
        } else if (const int length = glutOptionLength(argument); length > 0) {
            i += length - 1;
        } else {
            std::fprintf(err, "dancer: unknown option '%s'; see 'dancer --help'\n",
                         escapedName(argument).c_str());
            command.exitStatus = 2;
            return command;
        }
    }
    if (videoOptionSeen != nullptr && command.renderTo.empty()) {
        std::fprintf(err, "dancer: %s is for a video; see 'dancer --help'\n", videoOptionSeen);
        command.exitStatus = 2;
    } else if (command.listen && !command.renderTo.empty()) {
        std::fputs("dancer: --render makes a video of music files, not of what the desktop plays; "
                   "see 'dancer --help'\n", err);
        command.exitStatus = 2;
    } else if (command.listPlayers && (command.listen || !command.operands.empty() ||
                                       !command.renderTo.empty())) {
        std::fputs("dancer: --list-players takes nothing else; see 'dancer --help'\n", err);
        command.exitStatus = 2;
    } else if (command.listen && !command.operands.empty()) {
        std::fputs("dancer: --listen plays nothing, so it takes no files; see 'dancer --help'\n",
                   err);
        command.exitStatus = 2;
    }
    return command;
}
