// Writes the glyphs of an X bitmap font as a C++ table the program draws text from where there is
// no GLUT: each glyph as the bitmap glBitmap takes (rows from the bottom, bytes most significant
// bit first), one cell per glyph, as wide as its advance and as high as the font's ascent and
// descent, with the ink outside the cell clipped away. Run at build time on xfonts-75dpi's timR10.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_glyphs FONT.pcf.gz OUTPUT\n");
        return 2;
    }
    FT_Library library;
    FT_Face face;
    if (FT_Init_FreeType(&library) != 0 || FT_New_Face(library, argv[1], 0, &face) != 0) {
        std::fprintf(stderr, "make_glyphs: %s: not a font FreeType reads\n", argv[1]);
        return 1;
    }
    if (face->num_fixed_sizes < 1 || FT_Select_Size(face, 0) != 0) {
        std::fprintf(stderr, "make_glyphs: %s: not a bitmap font\n", argv[1]);
        return 1;
    }
    // The cell reaches as high and as low as any glyph's ink: accents on capitals rise above the
    // font's own ascent.
    int ascent = 0;
    int descent = 0;
    for (int code = 32; code < 256; ++code) {
        const FT_UInt index = FT_Get_Char_Index(face, static_cast<FT_ULong>(code));
        if (index == 0 || FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO) != 0) {
            continue;
        }
        ascent = std::max(ascent, face->glyph->bitmap_top);
        descent =
            std::max(descent, static_cast<int>(face->glyph->bitmap.rows) - face->glyph->bitmap_top);
    }
    const int height = ascent + descent;
    std::vector<int> advances(256, 0);
    std::vector<int> offsets(256, 0);
    std::vector<unsigned char> bits;
    for (int code = 0; code < 256; ++code) {
        offsets[code] = static_cast<int>(bits.size());
        // The font is ISO 8859-1, whose codes are Unicode's first 256.
        const FT_UInt index = code < 32 ? 0 : FT_Get_Char_Index(face, static_cast<FT_ULong>(code));
        if (index == 0) continue;
        if (FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO) != 0) continue;
        const FT_GlyphSlot glyph = face->glyph;
        const int width = static_cast<int>(glyph->advance.x >> 6);
        advances[code] = width;
        const int rowBytes = (width + 7) / 8;
        std::vector<unsigned char> cell(static_cast<std::size_t>(rowBytes) * height, 0);
        const FT_Bitmap& bitmap = glyph->bitmap;
        for (unsigned row = 0; row < bitmap.rows; ++row) {
            for (unsigned column = 0; column < bitmap.width; ++column) {
                const unsigned char* source = bitmap.buffer + row * bitmap.pitch;
                if (!(source[column / 8] & (0x80 >> (column % 8)))) continue;
                const int x = glyph->bitmap_left + static_cast<int>(column);
                const int y = glyph->bitmap_top - 1 - static_cast<int>(row) + descent;
                if (x < 0 || x >= width || y < 0 || y >= height) continue;
                cell[static_cast<std::size_t>(y) * rowBytes + x / 8] |=
                    static_cast<unsigned char>(0x80 >> (x % 8));
            }
        }
        bits.insert(bits.end(), cell.begin(), cell.end());
    }
    std::FILE* out = std::fopen(argv[2], "w");
    if (out == nullptr) {
        std::perror(argv[2]);
        return 1;
    }
    std::fprintf(out, "// Made by tools/make_glyphs.cpp from %s at build time.\n", argv[1]);
    std::fprintf(out, "constexpr int GLYPH_HEIGHT = %d;\nconstexpr int GLYPH_DESCENT = %d;\n",
                 height, descent);
    std::fprintf(out, "constexpr unsigned char GLYPH_ADVANCE[256] = {");
    for (int code = 0; code < 256; ++code)
        std::fprintf(out, "%s%d", code ? "," : "", advances[code]);
    std::fprintf(out, "};\nconstexpr unsigned short GLYPH_OFFSET[256] = {");
    for (int code = 0; code < 256; ++code)
        std::fprintf(out, "%s%d", code ? "," : "", offsets[code]);
    std::fprintf(out, "};\nconstexpr unsigned char GLYPH_BITS[%zu] = {", bits.size() + 1);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        std::fprintf(out, "%s%s%u", i ? "," : "", i % 24 == 0 ? "\n" : "", bits[i]);
    }
    std::fprintf(out, "%s0};\n", bits.empty() ? "" : ",");
    FT_Done_Face(face);
    FT_Done_FreeType(library);
    return std::fclose(out) == 0 ? 0 : 1;
}
