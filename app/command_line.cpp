#include "app/command_line.h"

#include <cstddef>
#include <cstring>
#include <iterator>

#include "motion/sound/messages.h"

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
      --fullscreen start full screen; f or F11 brings the window back
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

// How many arguments a GLUT option spans; 0 for anything else.
int glutOptionLength(const char* argument) {
    for (std::size_t option = 0; option < std::size(GLUT_OPTIONS); ++option) {
        if (std::strcmp(argument, GLUT_OPTIONS[option]) == 0) return option < 2 ? 2 : 1;
    }
    return 0;
}
}  // namespace

CommandLine readCommandLine(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    CommandLine command;
    command.glutArgumentCount = argc;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (optionsEnded || argument[0] != '-' || argument[1] == '\0') {
            command.operands.emplace_back(argument);
        } else if (std::strcmp(argument, "--") == 0) {
            optionsEnded = true;
            command.glutArgumentCount = i;
        } else if (std::strcmp(argument, "--listen") == 0) {
            command.listen = true;
        } else if (std::strcmp(argument, "--fullscreen") == 0) {
            command.fullScreen = true;
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
    if (command.listen && !command.operands.empty()) {
        std::fputs("dancer: --listen plays nothing, so it takes no files; see 'dancer --help'\n",
                   err);
        command.exitStatus = 2;
    }
    return command;
}
