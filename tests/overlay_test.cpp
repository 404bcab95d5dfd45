// Bitmap text in a real GL context, with every character GLUT is asked to draw recorded (the call is
// wrapped at link time). The test window is 800 by 800.
#include <GL/glut.h>
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "app/handlers.h"
#include "overlay/overlay.h"

namespace {

std::string drawn;
void* drawnFont = nullptr;

}  // namespace

extern "C" {
void __real_glutBitmapCharacter(void* font, int character);
void __wrap_glutBitmapCharacter(void* font, int character) {
    drawn += static_cast<char>(character);
    drawnFont = font;
    __real_glutBitmapCharacter(font, character);
}
}

namespace {

// Both matrices, both stack depths and the matrix mode.
std::vector<float> matrixState() {
    std::vector<float> state(35);
    glGetFloatv(GL_PROJECTION_MATRIX, &state[0]);
    glGetFloatv(GL_MODELVIEW_MATRIX, &state[16]);
    glGetFloatv(GL_PROJECTION_STACK_DEPTH, &state[32]);
    glGetFloatv(GL_MODELVIEW_STACK_DEPTH, &state[33]);
    glGetFloatv(GL_MATRIX_MODE, &state[34]);
    return state;
}

std::array<float, 4> rasterPosition() {
    std::array<float, 4> position{};
    glGetFloatv(GL_CURRENT_RASTER_POSITION, position.data());
    return position;
}

int pixelLength(const char* text) {
    return glutBitmapLength(GLUT_BITMAP_TIMES_ROMAN_10, reinterpret_cast<const unsigned char*>(text));
}

// The scene's matrices as display leaves them for the overlay.
void sceneMatrices() {
    glViewport(0, 0, 800, 800);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(60, 1, 1, 50);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(0, 0, -8);
}

TEST(DrawText, FormatsAndCentresOnXWithTheBaselineFiveBelowY) {
    sceneMatrices();
    const auto before = matrixState();
    drawn.clear();
    drawText(250, 375, "line %d of %s", 2, "three");
    EXPECT_EQ(drawn, "line 2 of three");
    EXPECT_EQ(drawnFont, GLUT_BITMAP_TIMES_ROMAN_10);

    // Drawing moves the raster position one text length on from where the text started: 650 minus
    // half the length, in the 800 window. GL counts y upwards from the bottom edge: 400 - 380.
    EXPECT_NEAR(rasterPosition()[0], 650 + pixelLength("line 2 of three") / 2.0, 1e-3);
    EXPECT_NEAR(rasterPosition()[1], 20, 1e-3);
    GLboolean valid = GL_FALSE;
    glGetBooleanv(GL_CURRENT_RASTER_POSITION_VALID, &valid);
    EXPECT_TRUE(valid);

    EXPECT_EQ(matrixState(), before);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST(DrawText, LongTextIsCutAtTheBufferNotOverrun) {
    sceneMatrices();
    drawn.clear();
    const std::string longText(1000, 'x');
    drawText(0, 0, "%s", longText.c_str());
    EXPECT_EQ(drawn, std::string(259, 'x'));

    drawn.clear();
    drawText(0, 0, "%s!", std::string(258, 'y').c_str());
    EXPECT_EQ(drawn, std::string(258, 'y') + "!");
}

TEST(DrawText, NullFormatDrawsNothingAndTouchesNoState) {
    sceneMatrices();
    // Not what drawText expects, so any state change it made would show.
    glMatrixMode(GL_PROJECTION);
    glRasterPos2f(0.25f, -0.5f);
    const auto matricesBefore = matrixState();
    const auto rasterBefore = rasterPosition();
    drawn.clear();
    const char* noFormat = nullptr;
    drawText(100, 100, noFormat);
    EXPECT_EQ(drawn, "");
    EXPECT_EQ(matrixState(), matricesBefore);
    EXPECT_EQ(rasterPosition(), rasterBefore);
    glMatrixMode(GL_MODELVIEW);
}

TEST(CreditBlock, DisplayWritesTheThreeLinesInWhiteWithLightingRestored) {
    sceneMatrices();
    drawn.clear();
    display();
    EXPECT_EQ(drawn, std::string(CREDIT_LINES[0]) + CREDIT_LINES[1] + CREDIT_LINES[2]);
    std::array<float, 4> colour{};
    glGetFloatv(GL_CURRENT_RASTER_COLOR, colour.data());
    EXPECT_EQ(colour, (std::array<float, 4>{1, 1, 1, 1}));
    EXPECT_TRUE(glIsEnabled(GL_LIGHTING));
}

TEST(CreditBlock, LinesArePrintableAndFitTheirCornerOfTheWindow) {
    size_t longest = 0;
    for (const char* line : CREDIT_LINES) {
        for (const char* c = line; *c != '\0'; ++c) {
            EXPECT_TRUE(std::isprint(static_cast<unsigned char>(*c))) << line;
        }
        longest = std::max(longest, std::strlen(line));
        // Centred 250 pixels right of the centre of an 800 window: 150 pixels to spare each side.
        EXPECT_LE(pixelLength(line), 300) << line;
    }
    EXPECT_EQ(longest, 54u);
}

}  // namespace
