#include "overlay/caption_image.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {
constexpr int TITLE_PX = 22;
constexpr int LINE_PX = 17;
constexpr int SHADOW_PX = 1;
constexpr int LINES_MAX = 2;  // of each of the title, the artist and "paused"

void addSized(PangoAttrList* attributes, std::size_t start, std::size_t end, int pixels,
              PangoWeight weight) {
    PangoAttribute* size = pango_attr_size_new_absolute(pixels * PANGO_SCALE);
    size->start_index = static_cast<guint>(start);
    size->end_index = static_cast<guint>(end);
    pango_attr_list_insert(attributes, size);
    PangoAttribute* bold = pango_attr_weight_new(weight);
    bold->start_index = static_cast<guint>(start);
    bold->end_index = static_cast<guint>(end);
    pango_attr_list_insert(attributes, bold);
}
}  // namespace

CaptionImage renderCaption(const std::string& title, const std::string& artist, bool paused) {
    std::string text = title;
    const std::size_t titleEnd = text.size();
    if (!artist.empty()) text += "\n" + artist;
    if (paused) text += "\npaused";

    // Laid out on a scratch surface first, to learn the size of the one it is drawn on.
    cairo_surface_t* scratch = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* measuring = cairo_create(scratch);
    PangoLayout* layout = pango_cairo_create_layout(measuring);
    PangoFontDescription* font = pango_font_description_from_string("Sans");
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    // Every line starts at the left, where the caption is placed, whichever way it reads.
    pango_layout_set_auto_dir(layout, FALSE);
    pango_layout_set_width(layout, CAPTION_WIDTH_MAX * PANGO_SCALE);
    // A long title or artist wraps once and is then cut with an ellipsis, so that the caption's
    // height is bounded whatever the names are.
    pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    pango_layout_set_height(layout, -LINES_MAX);
    pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
    PangoAttrList* attributes = pango_attr_list_new();
    addSized(attributes, 0, titleEnd, TITLE_PX, PANGO_WEIGHT_BOLD);
    addSized(attributes, titleEnd, text.size(), LINE_PX, PANGO_WEIGHT_NORMAL);
    pango_layout_set_attributes(layout, attributes);
    pango_attr_list_unref(attributes);
    PangoRectangle ink;
    PangoRectangle logical;
    pango_layout_get_pixel_extents(layout, &ink, &logical);

    CaptionImage image;
    image.width = logical.width + SHADOW_PX;
    image.height = logical.height + SHADOW_PX;
    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, image.width, image.height);
    cairo_t* drawing = cairo_create(surface);
    pango_cairo_update_layout(drawing, layout);
    cairo_set_source_rgba(drawing, 0, 0, 0, 0.8);
    cairo_move_to(drawing, SHADOW_PX - logical.x, SHADOW_PX - logical.y);
    pango_cairo_show_layout(drawing, layout);
    cairo_set_source_rgb(drawing, 1, 1, 1);
    cairo_move_to(drawing, -logical.x, -logical.y);
    pango_cairo_show_layout(drawing, layout);
    cairo_surface_flush(surface);

    // Cairo keeps each pixel as one native 32-bit word, alpha in the top byte.
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    image.rgba.resize(static_cast<std::size_t>(image.width) * image.height * 4);
    for (int y = 0; y < image.height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
        for (int x = 0; x < image.width; ++x) {
            unsigned char* out = &image.rgba[(static_cast<std::size_t>(y) * image.width + x) * 4];
            out[0] = static_cast<unsigned char>(row[x] >> 16);
            out[1] = static_cast<unsigned char>(row[x] >> 8);
            out[2] = static_cast<unsigned char>(row[x]);
            out[3] = static_cast<unsigned char>(row[x] >> 24);
        }
    }
    cairo_destroy(drawing);
    cairo_surface_destroy(surface);
    g_object_unref(layout);
    cairo_destroy(measuring);
    cairo_surface_destroy(scratch);
    return image;
}
