#include <vips/vips.h>

#include "engine/Vips.h"

#include <dlfcn.h>
#include <mutex>

namespace {

// The libvips functions used here. The library is loaded the first time one
// is needed rather than linked: it brings a hundred libraries with it, which
// would cost every run of the programs some 18 MB and a sixth of a second
// to start, legend or not.
struct Library {
    decltype(&vips_version) version;
    decltype(&vips_init) init;
    decltype(&vips_cache_set_max) setCacheMax;
    decltype(&vips_error_buffer_copy) errorBufferCopy;
    decltype(&vips_image_get_width) width;
    decltype(&vips_image_get_height) height;
    decltype(&vips_image_write_to_memory) writeToMemory;
    decltype(&vips_text) text;
    decltype(&g_object_unref) unref;
    decltype(&g_free) free;
};

template <typename Function> bool Find(void *handle, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(dlsym(handle, name));
    return function != nullptr;
}

// The library of the ABI the headers describe, started once per process;
// null with a reason when it cannot be had. Its operation cache stays off:
// one legend needs no cache, and it would keep the results' buffers alive.
const Library *Load(std::string &error)
{
    static std::once_flag once;
    static Library library;
    static const Library *loaded = nullptr;
    static std::string failure;
    std::call_once(once, [] {
        constexpr int abi = VIPS_LIBRARY_CURRENT - VIPS_LIBRARY_AGE;
        const std::string name = "libvips.so." + std::to_string(abi);
        void *handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        Library &l = library;
        if (!handle) {
            const char *reason = dlerror();
            failure = "the image library libvips cannot be loaded: " + std::string(reason ? reason : name);
            return;
        }
        if (!Find(handle, "vips_version", l.version) || !Find(handle, "vips_init", l.init)
            || !Find(handle, "vips_cache_set_max", l.setCacheMax)
            || !Find(handle, "vips_error_buffer_copy", l.errorBufferCopy)
            || !Find(handle, "vips_image_get_width", l.width) || !Find(handle, "vips_image_get_height", l.height)
            || !Find(handle, "vips_image_write_to_memory", l.writeToMemory) || !Find(handle, "vips_text", l.text)
            || !Find(handle, "g_object_unref", l.unref) || !Find(handle, "g_free", l.free)
            || l.version(3) - l.version(5) != abi) {
            failure = name + " is not the version the program was built for";
            return;
        }
        if (l.init("kestrelvanepatchery") != 0) {
            failure = "the image library libvips could not start";
            return;
        }
        l.setCacheMax(0);
        loaded = &library;
    });
    if (!loaded)
        error = failure;
    return loaded;
}

bool Failed(const Library &library, std::string &error)
{
    char *message = library.errorBufferCopy();
    error = message && *message ? message : "libvips failed without saying why";
    library.free(message);
    // libvips ends each message with a newline.
    while (!error.empty() && error.back() == '\n')
        error.pop_back();
    return false;
}

}   // namespace

namespace Vips {

bool RenderText(const std::string &text, const std::string &font, std::vector<unsigned char> &mask, int &width,
                int &height, std::string &error)
{
    const Library *library = Load(error);
    if (!library)
        return false;
    VipsImage *rendered = nullptr;
    if (library->text(&rendered, text.c_str(), "font", font.c_str(), nullptr) != 0)
        return Failed(*library, error);
    size_t bytes = 0;
    void *pixels = library->writeToMemory(rendered, &bytes);
    width = library->width(rendered);
    height = library->height(rendered);
    library->unref(rendered);
    if (!pixels)
        return Failed(*library, error);
    const unsigned char *begin = static_cast<const unsigned char *>(pixels);
    mask.assign(begin, begin + bytes);
    library->free(pixels);
    return true;
}

}   // namespace Vips
