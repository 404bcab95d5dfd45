#include "app/render/yuv.h"

#include <cstddef>
#include <cstring>

namespace {
// BT.601's weights scaled to studio range, in 1/2^15: each row of chroma weights sums to exactly 0,
// so a grey has no colour at all; the luma weights sum to just under 219/255, so white is 235.
constexpr int SHIFT = 15;
constexpr int Y_R = 8414;
constexpr int Y_G = 16519;
constexpr int Y_B = 3208;
constexpr int U_R = -4857;
constexpr int U_G = -9535;
constexpr int U_B = 14392;
constexpr int V_R = 14392;
constexpr int V_G = -12052;
constexpr int V_B = -2340;
constexpr int Y_OFFSET = (16 << SHIFT) + (1 << (SHIFT - 1));
// Chroma is weighed on the sum of four pixels, so two more bits come off.
constexpr int C_OFFSET = (128 << (SHIFT + 2)) + (1 << (SHIFT + 1));

// Two RGBA pixels' colour bytes read as one word, whichever way round the machine keeps words.
const std::uint64_t COLOUR_BYTES = [] {
    const std::uint8_t bytes[8] = {0xff, 0xff, 0xff, 0, 0xff, 0xff, 0xff, 0};
    std::uint64_t mask = 0;
    std::memcpy(&mask, bytes, sizeof mask);
    return mask;
}();

inline std::uint8_t luma(int r, int g, int b) {
    return static_cast<std::uint8_t>((Y_R * r + Y_G * g + Y_B * b + Y_OFFSET) >> SHIFT);
}

// One row pair: `upper` is the top row as shown (GL's later row), `lower` the one below it.
void convertRows(const std::uint8_t* upper, const std::uint8_t* lower, int width, std::uint8_t* y0,
                 std::uint8_t* y1, std::uint8_t* u, std::uint8_t* v) {
    for (int x = 0; x < width / 2; ++x) {
        const std::uint8_t* top = upper + 8 * x;
        const std::uint8_t* bottom = lower + 8 * x;
        std::uint64_t topPair = 0;
        std::uint64_t bottomPair = 0;
        std::memcpy(&topPair, top, sizeof topPair);
        std::memcpy(&bottomPair, bottom, sizeof bottomPair);
        // Most of a frame is the black background: its blocks need no arithmetic.
        if (((topPair | bottomPair) & COLOUR_BYTES) == 0) {
            y0[2 * x] = 16;
            y0[2 * x + 1] = 16;
            y1[2 * x] = 16;
            y1[2 * x + 1] = 16;
            u[x] = 128;
            v[x] = 128;
            continue;
        }
        y0[2 * x] = luma(top[0], top[1], top[2]);
        y0[2 * x + 1] = luma(top[4], top[5], top[6]);
        y1[2 * x] = luma(bottom[0], bottom[1], bottom[2]);
        y1[2 * x + 1] = luma(bottom[4], bottom[5], bottom[6]);
        const int red = top[0] + top[4] + bottom[0] + bottom[4];
        const int green = top[1] + top[5] + bottom[1] + bottom[5];
        const int blue = top[2] + top[6] + bottom[2] + bottom[6];
        u[x] = static_cast<std::uint8_t>((U_R * red + U_G * green + U_B * blue + C_OFFSET) >>
                                         (SHIFT + 2));
        v[x] = static_cast<std::uint8_t>((V_R * red + V_G * green + V_B * blue + C_OFFSET) >>
                                         (SHIFT + 2));
    }
}
}  // namespace

void rgbaToYuv420(const std::uint8_t* rgba, int width, int height, const YuvPlanes& planes) {
    const std::ptrdiff_t rowBytes = 4 * static_cast<std::ptrdiff_t>(width);
    for (int row = 0; row < height; row += 2) {
        const std::uint8_t* upper = rgba + rowBytes * (height - 1 - row);
        std::uint8_t* y0 = planes.y + static_cast<std::ptrdiff_t>(planes.yStride) * row;
        std::uint8_t* u = planes.u + static_cast<std::ptrdiff_t>(planes.uStride) * (row / 2);
        std::uint8_t* v = planes.v + static_cast<std::ptrdiff_t>(planes.vStride) * (row / 2);
        convertRows(upper, upper - rowBytes, width, y0, y0 + planes.yStride, u, v);
    }
}
