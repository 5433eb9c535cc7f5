#pragma once

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

// Replaces the picture by its edge mask: red where edges are, black elsewhere.
void DrawEdges(Image &image);

// Draw a tile at grid position (column, row) of a 32-bit display image.
void DrawImageIntoQImage(QImage *target, int column, int row, const Image &tile);
void DrawImageBlendWithColorIntoQImage(QImage *target, int column, int row, const Image &tile, const color3 *color,
                                       float t);
