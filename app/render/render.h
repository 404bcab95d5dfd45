// app/render/render.h: `dancer --render`: a video of the figure dancing to the music named, made
// with no window and no display, as fast as the machine draws and encodes.
#pragma once
#include "app/command_line.h"

// Writes the video the command line asks for, under a temporary name beside it that becomes its
// name once complete, and says so in one line on stderr (with a progress line before, on a
// terminal). Returns the exit status: 0; 1 when nothing can play or the file cannot be written; 2
// when it exists and --force was not given; 130 and 143 after SIGINT and SIGTERM, within a second,
// the temporary file removed. Call from main's thread, instead of starting the window.
int renderVideo(const CommandLine& command);
