#pragma once

#include <string>
#include <vector>

// The libvips operation the engine uses, behind plain C++: glib's headers and
// Qt's keywords do not compile together, so only Vips.cpp sees libvips. It is
// safe to call from any thread and returns false with libvips' reason in
// error when it fails.
namespace Vips {

// Draws one line of text in the given Pango font ("DejaVu Sans 11") as an
// 8-bit coverage mask, 255 where ink is, row by row.
bool RenderText(const std::string &text, const std::string &font, std::vector<unsigned char> &mask, int &width,
                int &height, std::string &error);

}   // namespace Vips
