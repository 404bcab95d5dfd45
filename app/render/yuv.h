// app/render/yuv.h: a drawn frame turned into the planes a video encoder takes. Pure; any thread.
#pragma once
#include <cstdint>

// Three planes of 8-bit samples, each row `stride` bytes after the last.
struct YuvPlanes {
    std::uint8_t* y;
    std::uint8_t* u;
    std::uint8_t* v;
    int yStride;
    int uStride;
    int vStride;
};

// Converts `width` x `height` RGBA pixels (both even; rows from the bottom, as GL reads them) into
// 4:2:0 planes, top row first: BT.601 studio range (black 16, white 235, grey's chroma 128), as
// players read a video that names no colours; each chroma sample from its 2x2 block's mean.
void rgbaToYuv420(const std::uint8_t* rgba, int width, int height, const YuvPlanes& planes);
