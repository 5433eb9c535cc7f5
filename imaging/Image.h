#pragma once

#include <cstddef>
#include <functional>
#include <vector>

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
    unsigned char *data;   // owned, from std::malloc; null when there are no pixels

private:
    void Rotate(bool left);
    void Reduce(int factor);
};

void Sample2d(unsigned char *src, int srcWidth, int srcHeight, unsigned char *dst, int dstWidth, int dstHeight, int x0,
              int y0, int regionWidth, int regionHeight, int filter);

// Takes a picture's RGB rows one by one, top to bottom, as a decoder makes
// them, into buffers of its own.
class RowSink {
public:
    // The picture's size, before any row; false refuses the picture.
    virtual bool Begin(int width, int height) = 0;
    // Where row y goes: width * 3 bytes, written before RowDone(y).
    virtual unsigned char *Row(int y) = 0;
    virtual void RowDone(int y) = 0;

protected:
    ~RowSink() = default;
};

// The smoothing of rows as they come, shared by StreamedReduction and
// ResizeRows (Image.cpp).
class SmoothingChain;

// An image a StreamedReduction makes, and its size (at least 1 by 1).
struct ReductionTarget {
    Image *image;
    int width, height;
};

// Makes of the picture whose rows come in what Resize(w, h, true) makes of a
// copy of it, for every target, while holding only the rows the smoothing
// before sampling works on (three at most) instead of the whole picture.
// Targets that smooth the same directions share one smoothing; others get one
// of their own. The plan names the targets once the picture's size is known.
// The targets are complete after the last row; Begin is false when a buffer
// cannot be had.
class StreamedReduction : public RowSink {
public:
    using Plan = std::function<std::vector<ReductionTarget>(int width, int height)>;

    explicit StreamedReduction(Plan plan);
    ~StreamedReduction();

    bool Begin(int width, int height) override;
    unsigned char *Row(int y) override;
    void RowDone(int y) override;

private:
    Plan plan;
    int width = 0;
    int height = 0;
    std::vector<ReductionTarget> targets;
    std::vector<SmoothingChain> chains;
};

// Hands to take, top to bottom, the rows of what Resize(width, height, true)
// makes of a copy of source, while holding a few rows instead of the whole
// result. Only the columns from firstColumn up to endColumn are made; the
// other bytes of a row handed on are undefined, and the row is lent until
// take returns. False when take returns false, which stops the work, when
// source has no pixels or when a buffer cannot be had.
bool ResizeRows(const Image &source, int width, int height, int firstColumn, int endColumn,
                const std::function<bool(int y, const unsigned char *row)> &take);
