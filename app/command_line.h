// app/command_line.h: the program's own part of the command line, beside the options GLUT takes.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "motion/sound/streams.h"

struct CommandLine {
    std::vector<std::string> operands;  // music files and folders, as given
    bool listen = false;                // --listen: dance to what the desktop plays
    ListenTo listenTo = ListenTo::Everything;  // --listen=APP, --listen=player: to whom
    std::string listenedApp;            // --listen=APP: APP, cleaned
    bool listPlayers = false;           // --list-players: say what plays now, and exit
    bool fullScreen = false;            // --fullscreen: start full screen
    int glutArgumentCount = 0;          // argv's leading entries GLUT may see: up to any "--"
    std::string renderTo;               // --render OUT: the video to write; empty: the window
    int width = 800;                    // --size WxH, pixels, even
    int height = 800;
    int fps = 50;                       // --fps: frames a second, 1 to 240
    double spin = 0;                    // --spin: degrees a second about the figure's upright axis
    int crf = 20;                       // --crf: the video encoder's quality, 0 to 51
    bool force = false;                 // --force: an existing video may be replaced
    int exitStatus = -1;                // 0 or 2 once answered without a window; -1: run
};

// Reads the arguments GLUT also reads: its options, and the values that follow -display and
// -geometry, are passed over; after "--" everything is an operand, which GLUT is not to see.
// --help and --version are answered on `out` (status 0), an unknown option, an empty --listen=, or
// --listen or --list-players with files in one line on `err` (status 2), as are a bad --size,
// --fps, --spin or --crf, a video name without .mp4, .mkv or .webm, a video option without
// --render, and --render with --listen.
CommandLine readCommandLine(int argc, const char* const* argv, std::FILE* out, std::FILE* err);
