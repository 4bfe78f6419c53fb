#include "mivo_duplex/check/erle_picture.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace mivo::duplex::check {

namespace {

constexpr int width = 720;
constexpr int height = 320;
constexpr double left = 56, right = 16, top = 44, bottom = 40;
constexpr double topDb = 60.0;

struct Axes {
    double seconds;
    double x(double s) const { return left + (width - left - right) * s / seconds; }
    double y(double db) const { return top + (height - top - bottom) * (1.0 - std::clamp(db, 0.0, topDb) / topDb); }
};

void text(cairo_t* cr, double x, double y, const char* what, double size = 11) {
    cairo_set_font_size(cr, size);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, what);
}

void grid(cairo_t* cr, const Axes& a) {
    char label[32];
    cairo_set_line_width(cr, 1);
    for (double db = 0; db <= topDb; db += 10) {
        cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
        cairo_move_to(cr, left, a.y(db));
        cairo_line_to(cr, width - right, a.y(db));
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        std::snprintf(label, sizeof label, "%.0f", db);
        text(cr, left - 24, a.y(db) + 4, label);
    }
    for (int s = 0; s <= static_cast<int>(a.seconds); s += 3) {
        std::snprintf(label, sizeof label, "%d", s);
        text(cr, a.x(s) - 4, height - bottom + 16, label);
    }
    text(cr, width / 2.0 - 60, height - 8, "seconds of far-end speech");
    cairo_save(cr);
    cairo_move_to(cr, 16, top + 150);
    cairo_rotate(cr, -M_PI / 2);
    cairo_set_font_size(cr, 11);
    cairo_show_text(cr, "ERLE (dB)");
    cairo_restore(cr);
}

void bars(cairo_t* cr, const Axes& a, const CheckReport& r) {
    const Cancellation& c = r.cancellation;
    for (size_t s = 0; s < c.erlePerSecond.size(); ++s) {
        const double erle = c.erlePerSecond[s];
        if (std::isnan(erle)) continue;
        if (erle >= workingErleDb) cairo_set_source_rgb(cr, 0.20, 0.55, 0.30);
        else cairo_set_source_rgb(cr, 0.80, 0.30, 0.20);
        const double x0 = a.x(static_cast<double>(s)) + 3, x1 = a.x(static_cast<double>(s) + 1) - 3;
        cairo_rectangle(cr, x0, a.y(erle), x1 - x0, a.y(0) - a.y(erle));
        cairo_fill(cr);
    }
    cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
    const double dashes[] = {5, 4};
    cairo_set_dash(cr, dashes, 2, 0);
    cairo_move_to(cr, left, a.y(workingErleDb));
    cairo_line_to(cr, width - right, a.y(workingErleDb));
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
}

}  // namespace

bool drawErlePicture(const CheckReport& r, const std::string& path) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    const Axes axes{std::max<double>(1.0, static_cast<double>(r.cancellation.erlePerSecond.size()))};
    const Cancellation& c = r.cancellation;
    if (c.doubleTalk) {
        cairo_set_source_rgb(cr, 0.86, 0.92, 1.0);
        const double x0 = axes.x(SessionTimes::nearStart);
        cairo_rectangle(cr, x0, top, axes.x(SessionTimes::nearStart + SessionTimes::nearLength) - x0,
                        height - top - bottom);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.3, 0.4, 0.6);
        text(cr, x0 + 4, top + 14, "double talk", 10);
    }
    grid(cr, axes);
    bars(cr, axes, r);
    char title[256];
    if (r.path.heard)
        std::snprintf(title, sizeof title, "%s: echo %.0f ms, %.1f dB; ERLE median %.1f dB; %s",
                      r.room.empty() ? "default devices" : r.room.c_str(), r.path.delayMs, r.path.levelDb,
                      c.erleMedianDb, verdictLine(r.findings).c_str());
    else
        std::snprintf(title, sizeof title, "%s: no echo heard; %s", r.room.empty() ? "default devices" : r.room.c_str(),
                      verdictLine(r.findings).c_str());
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    text(cr, left, 24, title, 13);
    cairo_destroy(cr);
    const bool written = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    // The text drew on fontconfig's caches; nothing else here uses them, so give them back.
    cairo_debug_reset_static_data();
    FcFini();
    return written;
}

}  // namespace mivo::duplex::check
