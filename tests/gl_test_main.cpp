// Entry point of the GL tests: a real window on $DISPLAY gives them a current OpenGL context.
#include <GL/glut.h>
#include <gtest/gtest.h>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    glutInit(&argc, argv);
    glutInitWindowSize(800, 800);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutCreateWindow("gl test");
    const int result = RUN_ALL_TESTS();
#ifdef __SANITIZE_ADDRESS__
    // Look for leaks now, while the GL driver is loaded: it is unloaded on the way out, and what it
    // still holds would then show as leaks of a nameless library that no suppression can match.
    __lsan_do_leak_check();
#endif
    return result;
}
