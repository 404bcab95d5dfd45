// Entry point of the GL tests: a real window on $DISPLAY gives them a current OpenGL context.
#include <GL/glut.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    glutInit(&argc, argv);
    glutInitWindowSize(800, 800);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutCreateWindow("gl test");
    return RUN_ALL_TESTS();
}
