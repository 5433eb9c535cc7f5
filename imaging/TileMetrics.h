#pragma once

#include <functional>
#include <memory>

class Image;
class QImage;
struct color3;

// How a chosen picture is turned when it is drawn into its tile, with the
// codes the searches return. A picture of the other orientation than its tile
// is compared both ways: DrawTurnedRight when DifferenceRotateLeft scores
// lower (it measures the key as it looks turned right), DrawTurnedLeft when
// DifferenceRotateRight scores lower or the same.
enum class Rotation { Unturned = 0, DrawTurnedRight = 1, DrawTurnedLeft = 2 };

// Sums of squared channel differences between a tile a and a key image b.
int DifferenceSameOrientation(const Image &a, const Image &b);
int DifferenceRotateLeft(const Image &a, const Image &b);
int DifferenceRotateRight(const Image &a, const Image &b);

// True when the colour lies in the skin-colour set.
bool FleshTone(const color3 &c);
// How many of count pixels (three bytes each) FleshTone takes.
int CountFleshTones(const unsigned char *pixels, int count);

// Replaces the picture by its edge mask: red where edges are, black elsewhere.
void DrawEdges(Image &image);

// The edge strengths DrawEdges measures, row by row, for the columns from
// firstColumn up to endColumn of a picture of width by height pixels. Fed the
// picture's rows top to bottom, with the two columns on either side of those
// as well, it hands on each row's strengths as soon as the rows below it that
// they depend on have come; it holds a few rows, never the whole picture.
class EdgeStrengths {
public:
    EdgeStrengths(int width, int height, int firstColumn, int endColumn);
    ~EdgeStrengths();
    EdgeStrengths(const EdgeStrengths &) = delete;
    EdgeStrengths &operator=(const EdgeStrengths &) = delete;

    // False when its buffers cannot be had.
    bool Usable() const { return brightness && strengths; }
    // Takes row y (width * 3 bytes) and calls take for every row now complete,
    // with strengths[i] that of column firstColumn + i.
    void Add(int y, const unsigned char *row, const std::function<void(int y, const float *strengths)> &take);

private:
    // Brightness rows kept, in turn: the five a row's strengths read, and spare.
    static constexpr int Slots = 8;
    float *Brightness(int y) const;
    void Measure(int y);

    const int width, height, firstColumn, endColumn;
    const int brightFirst, brightEnd;   // the columns whose brightness is kept
    std::unique_ptr<float[]> brightness;
    std::unique_ptr<float[]> strengths;
    int handed = 0;   // rows handed on so far
};

// DrawEdges's rule: a pixel is an edge unless its strength is below a tenth
// of the strongest in the picture. How many of count strengths are edges.
int CountEdgePixels(const float *strengths, int count, float strongest);

// Draw a tile at grid position (column, row) of a 32-bit display image.
void DrawImageIntoQImage(QImage *target, int column, int row, const Image &tile);
void DrawImageBlendWithColorIntoQImage(QImage *target, int column, int row, const Image &tile, const color3 *color,
                                       float t);
