#pragma once

#include <cstddef>

// Three bytes of colour; never owns anything.
struct color3 {
    unsigned char r, g, b;
};

// An 8-bit RGB raster: rows top to bottom, three bytes per pixel, no padding.
// Byte sizes and offsets are computed in 64-bit arithmetic, so the largest
// output image (30000 by 30000, 2.7 GB) works.
//
// Allocation failure: an image whose buffer cannot be allocated keeps its
// dimensions but has no buffer (data is null), exactly like an image that was
// never given pixels; callers that need pixels test data. Every operation
// treats it so: rotations and reductions change only the dimensions, drawing
// into or from it does nothing, copies of it have no buffer, and an operation
// whose new buffer cannot be had releases the old one and is left without.
class Image {
public:
    static const int COMPARISON_X_SIZE = 16;
    static const int COMPARISON_Y_SIZE = 16;

    Image();
    Image(int w, int h);
    Image(const Image &other);
    Image &operator=(const Image &other);
    ~Image();

    void RotateLeft();
    void RotateRight();
    void HalfSize();
    void QuarterSize();
    void Resize(int w, int h, bool filter);
    void ResizeToKey();
    void Extract(const Image &src, int x, int y, int w, int h);
    void DrawImage(int x, int y, const Image &src);
    void DrawImageBlendedWithColor(int x, int y, const Image &src, const color3 *color, float t);

    // width * height * 3, in 64 bits.
    size_t ByteCount() const;

    int width;
    int height;
    unsigned char *data;  // owned, from std::malloc; null when there are no pixels

private:
    void Rotate(bool left);
};

void Sample2d(unsigned char *src, int srcWidth, int srcHeight,
              unsigned char *dst, int dstWidth, int dstHeight,
              int x0, int y0, int regionWidth, int regionHeight, int filter);

// Makes first and second what Resize(w, h, true) makes of copies of picture,
// at two sizes. The smoothing before sampling depends only on which
// directions shrink, so where both sizes shrink the same ones they are
// sampled from one smoothing of the picture itself, without a copy. The
// picture's pixels are used up: afterwards they are smoothed or resized.
void ResizeTwice(Image &picture, Image &first, int firstWidth, int firstHeight,
                 Image &second, int secondWidth, int secondHeight);
