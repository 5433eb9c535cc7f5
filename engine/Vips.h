#pragma once

#include <string>
#include <vector>

// The few libvips operations the engine uses, behind plain C++: glib's
// headers and Qt's keywords do not compile together, so only Vips.cpp sees
// libvips. File names are in the file system's encoding; every function is
// safe to call from any thread and returns false with libvips' reason in
// error when it fails.
namespace Vips {

// The pyramid's tiles: 510 pixels and one pixel of overlap on each side make
// 512-pixel files. libvips spends much of a pyramid's time on each tile it
// starts, so these take 40 % less time than the usual 256-pixel files, and
// a 30000-pixel mosaic needs 3500 files instead of 14000.
constexpr int DeepZoomTileSize = 510;
constexpr int DeepZoomOverlap = 1;

// Writes a Deep Zoom pyramid of an RGB raster (three bytes a pixel, no row
// padding): base.dzi and the tiles below base_files/, replacing an earlier
// pyramid of that name. libvips cuts and encodes the tiles on threads of its
// own; threads is how many.
bool DeepZoomFromMemory(const unsigned char *rgb, int width, int height, const std::string &base, int threads,
                        std::string &error);

// The same from a JPEG file, read once from top to bottom; width and height
// are the picture's size.
bool DeepZoomFromFile(const std::string &jpeg, const std::string &base, int threads, int &width, int &height,
                      std::string &error);

// Draws one line of text in the given Pango font ("DejaVu Sans 11") as an
// 8-bit coverage mask, 255 where ink is, row by row.
bool RenderText(const std::string &text, const std::string &font, std::vector<unsigned char> &mask, int &width,
                int &height, std::string &error);

}   // namespace Vips
