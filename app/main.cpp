#include <GL/glut.h>
#include <GL/freeglut_ext.h>  // glutPositionFunc

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "app/chores.h"
#include "app/command_line.h"
#include "app/handlers.h"
#include "app/render/render.h"
#include "app/scene.h"
#include "app/session_bus/session_bus.h"
#include "app/x11_window.h"
#include "motion/motion_driver.h"
#include "motion/music.h"
#include "motion/sound/sound_server.h"
#include "motion/sound/streams.h"

// Author's name, then: use the mouse with the left button held down to rotate the object.
static const char WINDOW_TITLE[] =
    "Вирсель, используйте мышь с зажатой левой кнопкой для вращения объекта";

// Pixels: where the window first stands on the screen, and its width and height.
constexpr int WINDOW_X = 100;
constexpr int WINDOW_Y = 100;
constexpr int WINDOW_SIZE = 800;

// What plays now, one stream a line, with no window: every stream but dancers'.
static int listPlayers() {
    std::vector<SoundStream> streams;
    std::string why;
    if (!listStreams(streams, why)) {
        std::fprintf(stderr, "dancer: no sound server to ask what plays (%s)\n", why.c_str());
        return 1;
    }
    const std::vector<BusPlayer> players = askDesktopPlayers();
    for (const SoundStream& stream : streams) {
        if (stream.binary == "dancer") continue;
        std::printf("%s\n", describeStream(stream, players).c_str());
    }
    return 0;
}

int main(int argc, char** argv) {
    // Answered before GLUT looks for a display, so that --help works without one.
    const CommandLine command = readCommandLine(argc, argv, stdout, stderr);
    if (command.exitStatus >= 0) return command.exitStatus;
    // Folders list their entries in the user's language's order, as a file manager does.
    std::setlocale(LC_COLLATE, "");
    // A video needs no display, so it starts before GLUT looks for one.
    if (!command.renderTo.empty()) return renderVideo(command);
    if (command.listPlayers) return listPlayers();
    if (command.listen) {
        listenToDesktop(command.listenTo, command.listenedApp);
    } else {
        chooseMusic(command.operands);
    }
    // GLUT would take an operand such as "-iconic" after "--" for one of its own options.
    int glutArgumentCount = command.glutArgumentCount;
    glutInit(&glutArgumentCount, argv);
    glutInitWindowSize(WINDOW_SIZE, WINDOW_SIZE);
    glutInitWindowPosition(WINDOW_X, WINDOW_Y);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutCreateWindow(WINDOW_TITLE);
    describeWindowToWindowManager(WINDOW_TITLE);
    if (command.fullScreen) startFullScreen(WINDOW_X, WINDOW_Y, WINDOW_SIZE, WINDOW_SIZE);
    initScene();
    if (command.listen) {
        followDesktopPlayers();
    } else if (player().controllable) {
        offerMediaPlayer();
    }
    glutKeyboardFunc(keyboard);
    glutDisplayFunc(display);
    glutReshapeFunc(reshape);
    glutPositionFunc(moved);
    glutMouseFunc(mouse);
    glutMotionFunc(motion);
    glutPassiveMotionFunc(passiveMotion);
    glutSpecialFunc(special);
    setTickChores(doFrameChores);
    glutTimerFunc(20, tick, 0);
    glutMainLoop();
    return 0;
}
