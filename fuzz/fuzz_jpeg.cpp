// The JPEG reader on arbitrary bytes behind a file name.

#include "MemoryFile.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <cstdint>
#include <cstdlib>

// Keeps the reads above from being optimised away.
volatile unsigned fuzzJpegSink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static MemoryFile file;
    if (!file.Set(data, size))
        std::abort();

    Image image;
    const bool ok = ReadJPEG(file.Path(), image);
    // A picture read without complaint has pixels, and every one of them can
    // be touched; the sanitizers watch the bounds.
    if (ok) {
        if (!image.data || image.width < 1 || image.height < 1)
            std::abort();
        unsigned sum = 0;
        const size_t bytes = image.ByteCount();
        for (size_t i = 0; i < bytes; i += 4093)
            sum += image.data[i];
        sum += image.data[bytes - 1];
        fuzzJpegSink = sum;
    }
    if (image.data && image.ByteCount() > MaxDecodedImageBytes)
        std::abort();
    return 0;
}
