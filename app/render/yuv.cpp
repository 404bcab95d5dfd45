#include "app/render/yuv.h"

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

// The colour bytes of two RGBA pixels read as one word, whichever way round the machine keeps words.
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
        const std::uint8_t* a = upper + 8 * x;
        const std::uint8_t* b = lower + 8 * x;
        std::uint64_t upperPair = 0;
        std::uint64_t lowerPair = 0;
        std::memcpy(&upperPair, a, sizeof upperPair);
        std::memcpy(&lowerPair, b, sizeof lowerPair);
        // Most of a frame is the black background: its blocks need no arithmetic.
        if (((upperPair | lowerPair) & COLOUR_BYTES) == 0) {
            y0[2 * x] = 16;
            y0[2 * x + 1] = 16;
            y1[2 * x] = 16;
            y1[2 * x + 1] = 16;
            u[x] = 128;
            v[x] = 128;
            continue;
        }
        y0[2 * x] = luma(a[0], a[1], a[2]);
        y0[2 * x + 1] = luma(a[4], a[5], a[6]);
        y1[2 * x] = luma(b[0], b[1], b[2]);
        y1[2 * x + 1] = luma(b[4], b[5], b[6]);
        const int r = a[0] + a[4] + b[0] + b[4];
        const int g = a[1] + a[5] + b[1] + b[5];
        const int bl = a[2] + a[6] + b[2] + b[6];
        u[x] = static_cast<std::uint8_t>((U_R * r + U_G * g + U_B * bl + C_OFFSET) >> (SHIFT + 2));
        v[x] = static_cast<std::uint8_t>((V_R * r + V_G * g + V_B * bl + C_OFFSET) >> (SHIFT + 2));
    }
}
}  // namespace

void rgbaToYuv420(const std::uint8_t* rgba, int width, int height, const YuvPlanes& planes) {
    const long rowBytes = 4L * width;
    for (int row = 0; row < height; row += 2) {
        const std::uint8_t* upper = rgba + rowBytes * (height - 1 - row);
        convertRows(upper, upper - rowBytes, width, planes.y + static_cast<long>(planes.yStride) * row,
                    planes.y + static_cast<long>(planes.yStride) * (row + 1),
                    planes.u + static_cast<long>(planes.uStride) * (row / 2),
                    planes.v + static_cast<long>(planes.vStride) * (row / 2));
    }
}
