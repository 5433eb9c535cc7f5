#include <vips/vips.h>

#include "engine/Vips.h"

#include <cstring>
#include <mutex>

namespace {

// libvips is started once per process. Its operation cache stays off: a
// cached pipeline would keep a mosaic's file open and its buffers alive.
bool Start(std::string &error)
{
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        started = VIPS_INIT("kestrelvanepatchery") == 0;
        if (started)
            vips_cache_set_max(0);
    });
    if (!started)
        error = "the image library libvips could not start";
    return started;
}

bool Failed(std::string &error)
{
    char *message = vips_error_buffer_copy();
    error = message && *message ? message : "libvips failed without saying why";
    g_free(message);
    // libvips ends each message with a newline.
    while (!error.empty() && error.back() == '\n')
        error.pop_back();
    return false;
}

// Quality 85 keeps the pictures in a tile crisp when zoomed in all the way.
bool DeepZoom(VipsImage *image, const std::string &base, int threads, std::string &error)
{
    vips_concurrency_set(threads > 0 ? threads : 0);
    if (vips_dzsave(image, base.c_str(), "tile_size", Vips::DeepZoomTileSize, "overlap", Vips::DeepZoomOverlap,
                    "suffix", ".jpeg[Q=85]", nullptr)
        != 0)
        return Failed(error);
    return true;
}

}   // namespace

namespace Vips {

bool DeepZoomFromMemory(const unsigned char *rgb, int width, int height, const std::string &base, int threads,
                        std::string &error)
{
    if (!Start(error))
        return false;
    const size_t bytes = size_t(width) * size_t(height) * 3;
    VipsImage *image = vips_image_new_from_memory(rgb, bytes, width, height, 3, VIPS_FORMAT_UCHAR);
    if (!image)
        return Failed(error);
    const bool ok = DeepZoom(image, base, threads, error);
    g_object_unref(image);
    return ok;
}

bool DeepZoomFromFile(const std::string &jpeg, const std::string &base, int threads, int &width, int &height,
                      std::string &error)
{
    if (!Start(error))
        return false;
    VipsImage *image = vips_image_new_from_file(jpeg.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
    if (!image)
        return Failed(error);
    width = vips_image_get_width(image);
    height = vips_image_get_height(image);
    const bool ok = DeepZoom(image, base, threads, error);
    g_object_unref(image);
    return ok;
}

bool RenderText(const std::string &text, const std::string &font, std::vector<unsigned char> &mask, int &width,
                int &height, std::string &error)
{
    if (!Start(error))
        return false;
    VipsImage *rendered = nullptr;
    if (vips_text(&rendered, text.c_str(), "font", font.c_str(), nullptr) != 0)
        return Failed(error);
    size_t bytes = 0;
    void *pixels = vips_image_write_to_memory(rendered, &bytes);
    width = vips_image_get_width(rendered);
    height = vips_image_get_height(rendered);
    g_object_unref(rendered);
    if (!pixels)
        return Failed(error);
    const unsigned char *begin = static_cast<const unsigned char *>(pixels);
    mask.assign(begin, begin + bytes);
    g_free(pixels);
    return true;
}

}   // namespace Vips
