// Draws the host's pictures at build time into a folder (the bundle's Resources): the device
// artwork of the listing, a shape per kind of device and a colour per state, the status item's
// template and error images, the title band and the product icon.
//
//     tessel_artwork OUTDIR
#include <cairo.h>
#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Colour {
    double r, g, b;
};

// connected, inactive, unavailable
const Colour kStates[3] = {{0.0, 0.651, 0.867}, {0.376, 0.408, 0.439}, {0.667, 0.690, 0.714}};
const char* const kStateNames[3] = {"connected", "inactive", "unavailable"};

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

// The current path filled lightly and outlined in the colour.
void paintShape(cairo_t* cr, Colour c) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, 0.2);
    cairo_fill_preserve(cr);
    cairo_set_source_rgba(cr, c.r, c.g, c.b, 1.0);
    cairo_set_line_width(cr, 3);
    cairo_stroke(cr);
}

void dot(cairo_t* cr, double x, double y, Colour c) {
    cairo_arc(cr, x, y, 1.6, 0, 2 * M_PI);
    cairo_set_source_rgba(cr, c.r, c.g, c.b, 1.0);
    cairo_fill(cr);
}

void phone(cairo_t* cr, Colour c) {
    roundedRect(cr, 15.5, 5.5, 17, 37, 3);
    paintShape(cr, c);
    dot(cr, 24, 38, c);
}

void tablet(cairo_t* cr, Colour c) {
    roundedRect(cr, 8.5, 4.5, 31, 39, 3);
    paintShape(cr, c);
    dot(cr, 24, 40, c);
}

void monitor(cairo_t* cr, Colour c) {
    cairo_rectangle(cr, 4.5, 7.5, 39, 27);
    paintShape(cr, c);
    cairo_set_source_rgba(cr, c.r, c.g, c.b, 1.0);
    cairo_set_line_width(cr, 3);
    cairo_move_to(cr, 24, 36);
    cairo_line_to(cr, 24, 41);
    cairo_move_to(cr, 15, 42.5);
    cairo_line_to(cr, 33, 42.5);
    cairo_stroke(cr);
}

void laptop(cairo_t* cr, Colour c) {
    cairo_rectangle(cr, 8.5, 9.5, 31, 24);
    paintShape(cr, c);
    cairo_move_to(cr, 3.5, 37.5);
    cairo_line_to(cr, 44.5, 37.5);
    cairo_line_to(cr, 42.5, 42.5);
    cairo_line_to(cr, 5.5, 42.5);
    cairo_close_path(cr);
    paintShape(cr, c);
}

void stylusTablet(cairo_t* cr, Colour c) {
    roundedRect(cr, 5.5, 4.5, 29, 39, 3);
    paintShape(cr, c);
    // The pencil across the tablet's right edge.
    cairo_set_source_rgba(cr, c.r, c.g, c.b, 1.0);
    cairo_set_line_width(cr, 4);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_move_to(cr, 30, 40);
    cairo_line_to(cr, 44, 8);
    cairo_stroke(cr);
}

bool writePNG(cairo_surface_t* surface, const std::string& path) {
    if (cairo_surface_write_to_png(surface, path.c_str()) != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "tessel_artwork: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

// RGBA with associated alpha, as Cairo's premultiplied pixels already are.
bool writeTIFF(cairo_surface_t* surface, const std::string& path) {
    cairo_surface_flush(surface);
    const int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif) {
        std::fprintf(stderr, "tessel_artwork: cannot write %s\n", path.c_str());
        return false;
    }
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(w));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(h));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(h));
    const uint16_t extra[] = {EXTRASAMPLE_ASSOCALPHA};
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
    std::vector<unsigned char> row(size_t(w) * 4);
    bool ok = true;
    for (int y = 0; y < h && ok; ++y) {
        const auto* words = reinterpret_cast<const uint32_t*>(data + y * stride);
        for (int x = 0; x < w; ++x) {
            row[size_t(x) * 4 + 0] = (words[x] >> 16) & 0xFF;
            row[size_t(x) * 4 + 1] = (words[x] >> 8) & 0xFF;
            row[size_t(x) * 4 + 2] = words[x] & 0xFF;
            row[size_t(x) * 4 + 3] = (words[x] >> 24) & 0xFF;
        }
        ok = TIFFWriteScanline(tif, row.data(), uint32_t(y), 0) >= 0;
    }
    TIFFClose(tif);
    return ok;
}

// Draws one picture of w x h pixels and writes it (TIFF when the name ends so, else PNG).
bool picture(const std::string& folder, const std::string& file, int w, int h,
             const std::function<void(cairo_t*)>& paint) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(surface);
    paint(cr);
    cairo_destroy(cr);
    const std::string path = folder + "/" + file;
    const bool tiff = file.size() > 5 && file.compare(file.size() - 5, 5, ".tiff") == 0;
    const bool ok = tiff ? writeTIFF(surface, path) : writePNG(surface, path);
    cairo_surface_destroy(surface);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tessel_artwork OUTDIR\n");
        return 2;
    }
    const std::string out = argv[1];
    bool ok = true;

    const std::pair<const char*, void (*)(cairo_t*, Colour)> sets[] = {{"iphone", phone},
                                                                       {"ipad", tablet},
                                                                       {"desktop", monitor},
                                                                       {"laptop", laptop},
                                                                       {"stylus_ipad", stylusTablet}};
    for (const auto& [set, shape] : sets)
        for (int state = 0; state < 3; ++state)
            ok &= picture(out, std::string(set) + "_" + kStateNames[state] + ".png", 48, 48,
                          [shape = shape, state](cairo_t* cr) { shape(cr, kStates[state]); });

    // The status item's template: a tablet outline in black, its alpha the only thing that counts.
    ok &= picture(out, "TesselHost_StatusBar.png", 18, 18, [](cairo_t* cr) {
        roundedRect(cr, 3.75, 1.75, 10.5, 14.5, 2);
        cairo_set_source_rgba(cr, 0, 0, 0, 1);
        cairo_set_line_width(cr, 1.5);
        cairo_stroke(cr);
        cairo_arc(cr, 9, 13.5, 0.9, 0, 2 * M_PI);
        cairo_fill(cr);
    });
    // The error state: a red disc with a white bar and point.
    ok &= picture(out, "TSE_Error.tiff", 18, 18, [](cairo_t* cr) {
        cairo_arc(cr, 9, 9, 8, 0, 2 * M_PI);
        cairo_set_source_rgba(cr, 0.85, 0.16, 0.11, 1);
        cairo_fill(cr);
        cairo_set_source_rgba(cr, 1, 1, 1, 1);
        cairo_rectangle(cr, 8, 3.5, 2, 7);
        cairo_fill(cr);
        cairo_rectangle(cr, 8, 12.5, 2, 2);
        cairo_fill(cr);
    });
    // The title band: clear, lightening towards the top, with a faint line along its bottom.
    ok &= picture(out, "title-transparent-background.png", 320, 40, [](cairo_t* cr) {
        cairo_pattern_t* band = cairo_pattern_create_linear(0, 0, 0, 40);
        cairo_pattern_add_color_stop_rgba(band, 0, 1, 1, 1, 0.12);
        cairo_pattern_add_color_stop_rgba(band, 1, 1, 1, 1, 0.0);
        cairo_set_source(cr, band);
        cairo_paint(cr);
        cairo_pattern_destroy(band);
        cairo_set_source_rgba(cr, 0.5, 0.5, 0.5, 0.3);
        cairo_rectangle(cr, 0, 39, 320, 1);
        cairo_fill(cr);
    });
    // The product icon: a blue rounded square with a white tablet.
    ok &= picture(out, "tessel_icon.png", 32, 32, [](cairo_t* cr) {
        roundedRect(cr, 1, 1, 30, 30, 6);
        cairo_pattern_t* fill = cairo_pattern_create_linear(0, 0, 0, 32);
        cairo_pattern_add_color_stop_rgb(fill, 0, 0.153, 0.753, 0.914);
        cairo_pattern_add_color_stop_rgb(fill, 1, 0.0, 0.349, 0.776);
        cairo_set_source(cr, fill);
        cairo_fill(cr);
        cairo_pattern_destroy(fill);
        roundedRect(cr, 9.5, 6.5, 13, 19, 2);
        cairo_set_source_rgba(cr, 1, 1, 1, 1);
        cairo_set_line_width(cr, 2);
        cairo_stroke(cr);
    });
    return ok ? 0 : 1;
}
