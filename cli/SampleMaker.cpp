#include "cli/SampleMaker.h"

#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr uint64_t SampleSeed = 0x4b65737472656c76ull;
constexpr int CollectionQuality = 90;
constexpr int SourceQuality = 92;
// The source's colours at about one pixel per tile of a mosaic at the
// default settings: the palette the collection's pictures are graded to.
constexpr int PaletteColumns = 60, PaletteRows = 45;
constexpr double GradeContrast = 0.7;

// SplitMix64: tiny and defined bit for bit, so the sample does not depend on
// the C library's generator.
class SampleRandom {
public:
    explicit SampleRandom(uint64_t seed) : state(seed) {}

    uint64_t Next()
    {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // In [0, 1).
    double Unit() { return double(Next() >> 11) * 0x1.0p-53; }
    double Range(double lo, double hi) { return lo + (hi - lo) * Unit(); }
    // In [lo, hi].
    int Int(int lo, int hi) { return lo + int(Next() % uint64_t(hi - lo + 1)); }

private:
    uint64_t state;
};

struct Colour {
    double r, g, b;
};

Colour Mix(Colour a, Colour b, double t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// Hue in turns (any real number), saturation and value from 0 to 1.
Colour FromHsv(double hue, double saturation, double value)
{
    const double h = (hue - std::floor(hue)) * 6.0;
    const int sector = int(h) % 6;
    const double f = h - std::floor(h);
    const double p = value * (1.0 - saturation);
    const double q = value * (1.0 - saturation * f);
    const double t = value * (1.0 - saturation * (1.0 - f));
    double r = value, g = t, b = p;
    switch (sector) {
    case 1:
        r = q;
        g = value;
        b = p;
        break;
    case 2:
        r = p;
        g = value;
        b = t;
        break;
    case 3:
        r = p;
        g = q;
        b = value;
        break;
    case 4:
        r = t;
        g = p;
        b = value;
        break;
    case 5:
        r = value;
        g = p;
        b = q;
        break;
    default:
        break;
    }
    return {r * 255.0, g * 255.0, b * 255.0};
}

// An RGB picture painted with soft-edged shapes.
class Canvas {
public:
    Canvas(int width, int height) : image(width, height) {}

    bool HasPixels() const { return image.data != nullptr; }
    int Width() const { return image.width; }
    int Height() const { return image.height; }
    const Image &Picture() const { return image; }

    void Blend(int x, int y, Colour c, double alpha)
    {
        unsigned char *p = Pixel(x, y);
        p[0] = Channel(p[0] + (c.r - p[0]) * alpha);
        p[1] = Channel(p[1] + (c.g - p[1]) * alpha);
        p[2] = Channel(p[2] + (c.b - p[2]) * alpha);
    }

    // Rows y0 to y1 (exclusive), from top to bottom colour.
    void VerticalGradient(Colour top, Colour bottom, int y0, int y1)
    {
        y0 = std::max(y0, 0);
        y1 = std::min(y1, Height());
        for (int y = y0; y < y1; ++y) {
            const Colour c = Mix(top, bottom, double(y - y0) / std::max(1, y1 - y0 - 1));
            for (int x = 0; x < Width(); ++x)
                Blend(x, y, c, 1.0);
        }
    }

    // The whole picture, from one colour to the other along a direction.
    void LinearGradient(Colour from, Colour to, double angle)
    {
        const double dx = std::cos(angle), dy = std::sin(angle);
        const double extent = std::abs(dx) * Width() + std::abs(dy) * Height();
        const double origin = std::min(0.0, dx * Width()) + std::min(0.0, dy * Height());
        for (int y = 0; y < Height(); ++y)
            for (int x = 0; x < Width(); ++x)
                Blend(x, y, Mix(from, to, (x * dx + y * dy - origin) / extent), 1.0);
    }

    void RadialGradient(double cx, double cy, double radius, Colour inner, Colour outer)
    {
        for (int y = 0; y < Height(); ++y)
            for (int x = 0; x < Width(); ++x)
                Blend(x, y, Mix(inner, outer, std::min(1.0, std::hypot(x - cx, y - cy) / radius)), 1.0);
    }

    // A filled ellipse turned by angle (radians), its edge fading over soft pixels.
    void Ellipse(double cx, double cy, double rx, double ry, double angle, Colour c, double alpha, double soft)
    {
        const double reach = std::max(rx, ry) + soft;
        const double cosA = std::cos(angle), sinA = std::sin(angle);
        const double edge = std::max(1.0, std::min(rx, ry));
        const int x0 = std::max(0, int(cx - reach)), x1 = std::min(Width() - 1, int(cx + reach));
        const int y0 = std::max(0, int(cy - reach)), y1 = std::min(Height() - 1, int(cy + reach));
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                const double u = ((x - cx) * cosA + (y - cy) * sinA) / rx;
                const double v = (-(x - cx) * sinA + (y - cy) * cosA) / ry;
                const double inside = (1.0 - std::sqrt(u * u + v * v)) * edge;
                const double a = std::clamp(inside / std::max(soft, 1.0) + 0.5, 0.0, 1.0);
                if (a > 0.0)
                    Blend(x, y, c, a * alpha);
            }
        }
    }

    void Disc(double cx, double cy, double r, Colour c, double alpha, double soft)
    {
        Ellipse(cx, cy, r, r, 0.0, c, alpha, soft);
    }

    void Rect(double x0, double y0, double x1, double y1, Colour c, double alpha)
    {
        const int left = std::max(0, int(x0)), right = std::min(Width(), int(x1));
        const int top = std::max(0, int(y0)), bottom = std::min(Height(), int(y1));
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x)
                Blend(x, y, c, alpha);
    }

    // A triangle standing on its base: apex (ax, ay), base from bx0 to bx1 at by.
    void Spire(double ax, double ay, double bx0, double bx1, double by, Colour c, double alpha)
    {
        const int top = std::max(0, int(ay)), bottom = std::min(Height(), int(by));
        for (int y = top; y < bottom; ++y) {
            const double t = (y - ay) / std::max(1.0, by - ay);
            const int left = std::max(0, int(ax + (bx0 - ax) * t));
            const int right = std::min(Width(), int(ax + (bx1 - ax) * t) + 1);
            for (int x = left; x < right; ++x)
                Blend(x, y, c, alpha);
        }
    }

    // Fills everything below a wavy line, from top colour at the line to
    // bottom colour at the picture's lower edge.
    void Ridge(double base, double amplitude, double wavelength, double phase, Colour top, Colour bottom, double alpha)
    {
        for (int x = 0; x < Width(); ++x) {
            const double t = 2.0 * Pi * x / wavelength + phase;
            const double line = base + amplitude * (std::sin(t) + 0.35 * std::sin(2.7 * t + 1.3));
            const int start = std::max(0, int(std::ceil(line)));
            for (int y = start; y < Height(); ++y)
                Blend(x, y, Mix(top, bottom, (y - line) / std::max(1.0, Height() - line)), alpha);
        }
    }

    // Film grain: the same random offset on all three channels of a pixel.
    void Grain(SampleRandom &random, int amplitude)
    {
        const size_t pixels = size_t(Width()) * size_t(Height());
        for (size_t i = 0; i < pixels; ++i) {
            const int offset = int(random.Next() % uint64_t(2 * amplitude + 1)) - amplitude;
            unsigned char *p = image.data + i * 3;
            for (int k = 0; k < 3; ++k)
                p[k] = Channel(p[k] + offset);
        }
    }

    // Moves the picture's mean colour to target and scales every pixel's
    // distance from the mean by contrast, as a colour grade of a photograph
    // does: the picture keeps its scene and takes on another light.
    void Grade(Colour target, double contrast)
    {
        const size_t pixels = size_t(Width()) * size_t(Height());
        double mean[3] = {0, 0, 0};
        for (size_t i = 0; i < pixels * 3; ++i)
            mean[i % 3] += image.data[i];
        const double to[3] = {target.r, target.g, target.b};
        for (size_t i = 0; i < pixels * 3; ++i) {
            const int k = int(i % 3);
            image.data[i] = Channel(to[k] + (image.data[i] - mean[k] / double(pixels)) * contrast);
        }
    }

    // Darkens the corners as a lens does.
    void Vignette(double strength)
    {
        const double cx = Width() / 2.0, cy = Height() / 2.0;
        const double farthest = cx * cx + cy * cy;
        for (int y = 0; y < Height(); ++y) {
            for (int x = 0; x < Width(); ++x) {
                const double f = 1.0 - strength * ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / farthest;
                unsigned char *p = Pixel(x, y);
                for (int k = 0; k < 3; ++k)
                    p[k] = Channel(p[k] * f);
            }
        }
    }

private:
    static unsigned char Channel(double v) { return (unsigned char)std::clamp(std::lround(v), 0L, 255L); }

    unsigned char *Pixel(int x, int y) { return image.data + (size_t(y) * size_t(Width()) + size_t(x)) * 3; }

    Image image;
};

void PaintSun(Canvas &c, double cx, double cy, double r, Colour colour)
{
    c.Disc(cx, cy, r * 3.5, colour, 0.18, r * 3.0);
    c.Disc(cx, cy, r * 1.6, colour, 0.35, r);
    c.Disc(cx, cy, r, Mix(colour, {255, 255, 245}, 0.6), 1.0, 2.0);
}

// Painters draw their random numbers into named values first: the order in
// which a call's arguments are evaluated is unspecified, and the sample must
// not change with the compiler.

// A colour of the given hue with saturation and value drawn from ranges.
Colour RandomColour(SampleRandom &random, double hue, double s0, double s1, double v0, double v1)
{
    const double saturation = random.Range(s0, s1);
    const double value = random.Range(v0, v1);
    return FromHsv(hue, saturation, value);
}

void PaintLandscape(Canvas &c, SampleRandom &random, double hue)
{
    const int w = c.Width(), h = c.Height();
    const int horizon = int(h * random.Range(0.35, 0.6));
    const int mood = random.Int(0, 3);
    const Colour skyTops[] = {FromHsv(0.6, 0.65, 0.8), FromHsv(0.72, 0.5, 0.45), FromHsv(0.66, 0.7, 0.15),
                              FromHsv(0.6, 0.08, 0.6)};
    const Colour skyLows[] = {FromHsv(0.55, 0.2, 0.97), FromHsv(random.Range(0.0, 0.1), 0.75, 1.0),
                              FromHsv(0.8, 0.45, 0.5), FromHsv(0.6, 0.05, 0.85)};
    c.VerticalGradient(skyTops[mood], skyLows[mood], 0, horizon + h / 5);
    if (mood != 3) {
        const double x = w * random.Range(0.15, 0.85), y = horizon * random.Range(0.3, 0.8);
        const double r = h * random.Range(0.03, 0.07);
        const Colour warm = FromHsv(random.Range(0.08, 0.15), 0.6, 1.0);
        PaintSun(c, x, y, r, mood == 2 ? Colour{235, 235, 250} : warm);
    }
    const double shade = mood == 2 ? 0.35 : 1.0;
    for (int layer = 0; layer < 3; ++layer) {
        const double value = std::min(1.0, (0.35 + 0.2 * layer) * shade * random.Range(0.7, 1.1));
        const Colour top = FromHsv(hue + 0.05 * layer, random.Range(0.3, 0.8), value);
        const double amplitude = h * random.Range(0.02, 0.08), wavelength = w * random.Range(0.4, 1.4);
        const double phase = random.Range(0, 2 * Pi);
        c.Ridge(horizon + layer * h * 0.12, amplitude, wavelength, phase, top, Mix(top, {0, 0, 0}, 0.4), 1.0);
    }
    if (random.Int(0, 2) == 0)
        c.Rect(0, h * 0.82, w, h, Mix(skyLows[mood], {20, 40, 80}, 0.5), 0.7);
}

void PaintBokeh(Canvas &c, SampleRandom &random, double hue)
{
    const int w = c.Width(), h = c.Height();
    const double cx = w * random.Range(0.3, 0.7), cy = h * random.Range(0.3, 0.7);
    const Colour inner = RandomColour(random, hue, 0.4, 0.9, 0.25, 0.6);
    const Colour outer = RandomColour(random, hue + 0.1, 0.7, 0.7, 0.03, 0.15);
    c.RadialGradient(cx, cy, std::max(w, h) * 0.8, inner, outer);
    const int lights = random.Int(12, 40);
    for (int i = 0; i < lights; ++i) {
        const double r = std::min(w, h) * random.Range(0.03, 0.14);
        const double x = random.Range(0, w), y = random.Range(0, h);
        const Colour light = RandomColour(random, hue + random.Range(-0.12, 0.12), 0.2, 0.8, 0.7, 1.0);
        c.Disc(x, y, r, light, random.Range(0.25, 0.7), r * 0.25);
    }
}

void PaintAbstract(Canvas &c, SampleRandom &random, double hue)
{
    const int w = c.Width(), h = c.Height();
    const Colour from = RandomColour(random, hue, 0.3, 1.0, 0.2, 1.0);
    const Colour to = RandomColour(random, hue + random.Range(-0.25, 0.25), 0.2, 1.0, 0.1, 0.9);
    c.LinearGradient(from, to, random.Range(0, 2 * Pi));
    const int shapes = random.Int(3, 9);
    for (int i = 0; i < shapes; ++i) {
        const Colour colour = RandomColour(random, hue + random.Range(-0.5, 0.5), 0.2, 1.0, 0.1, 1.0);
        const double x = random.Range(0, w), y = random.Range(0, h), size = std::min(w, h) * random.Range(0.08, 0.3);
        const double alpha = random.Range(0.5, 1.0);
        switch (random.Int(0, 2)) {
        case 0:
            c.Disc(x, y, size, colour, alpha, 1.5);
            break;
        case 1:
            c.Rect(x - size, y - size * 0.6, x + size, y + size * 0.6, colour, alpha);
            break;
        default:
            c.Spire(x, y - size, x - size, x + size, y + size, colour, alpha);
            break;
        }
    }
}

void PaintCity(Canvas &c, SampleRandom &random, double hue)
{
    const int w = c.Width(), h = c.Height();
    const bool night = random.Int(0, 1) == 1;
    c.VerticalGradient(night ? FromHsv(0.65, 0.8, 0.12) : FromHsv(0.58, 0.5, 0.85),
                       night ? FromHsv(0.75, 0.5, 0.35) : FromHsv(hue, 0.25, 0.95), 0, h);
    const Colour window = night ? FromHsv(0.13, 0.6, 1.0) : FromHsv(0.58, 0.3, 0.5);
    double x = -random.Range(0, w * 0.1);
    while (x < w) {
        const double width = w * random.Range(0.08, 0.22);
        const double top = h * random.Range(0.15, 0.6);
        const double dim = night ? 0.08 : 0.35, bright = night ? 0.2 : 0.8;
        const Colour wall = RandomColour(random, hue + random.Range(-0.08, 0.08), 0.05, 0.4, dim, bright);
        c.Rect(x, top, x + width, h, wall, 1.0);
        for (double wy = top + h * 0.03; wy < h - h * 0.04; wy += h * 0.06)
            for (double wx = x + width * 0.12; wx < x + width * 0.85; wx += width * 0.25)
                if (random.Int(0, 3) != 0)
                    c.Rect(wx, wy, wx + width * 0.12, wy + h * 0.03, window, night ? 0.9 : 0.6);
        x += width + w * random.Range(0.0, 0.03);
    }
}

void PaintPortrait(Canvas &c, SampleRandom &random, double hue)
{
    const int w = c.Width(), h = c.Height();
    const Colour light = RandomColour(random, hue, 0.2, 0.6, 0.4, 0.9);
    const Colour dark = RandomColour(random, hue + 0.05, 0.3, 0.7, 0.1, 0.4);
    c.LinearGradient(light, dark, Pi / 2);
    const double cx = w * random.Range(0.4, 0.6), headY = h * random.Range(0.35, 0.45);
    const double head = std::min(w, h) * random.Range(0.15, 0.22);
    const Colour skin = RandomColour(random, random.Range(0.03, 0.09), 0.3, 0.6, 0.45, 0.95);
    const Colour clothes = RandomColour(random, hue + 0.5, 0.3, 0.9, 0.2, 0.8);
    const Colour hair = RandomColour(random, random.Range(0.05, 0.12), 0.3, 0.8, 0.1, 0.7);
    c.Ellipse(cx, h * 1.02, head * 2.4, h * 0.4, 0.0, clothes, 1.0, 3.0);
    c.Rect(cx - head * 0.3, headY + head * 0.8, cx + head * 0.3, headY + head * 1.6, skin, 1.0);
    c.Ellipse(cx, headY - head * 0.25, head * 1.1, head * 1.05, 0.0, hair, 1.0, 3.0);
    c.Ellipse(cx, headY, head * 0.82, head * 1.05, 0.0, skin, 1.0, 3.0);
    for (int side = -1; side <= 1; side += 2)
        c.Disc(cx + side * head * 0.32, headY - head * 0.1, head * 0.08, {40, 30, 25}, 0.9, 1.5);
    c.Ellipse(cx, headY + head * 0.5, head * 0.25, head * 0.07, 0.0, {150, 60, 60}, 0.7, 1.5);
}

void PaintFlower(Canvas &c, SampleRandom &random, double hue)
{
    const int w = c.Width(), h = c.Height();
    const Colour leaves = RandomColour(random, 0.3, 0.6, 0.6, 0.3, 0.6);
    const Colour shadow = RandomColour(random, 0.28, 0.7, 0.7, 0.05, 0.25);
    c.RadialGradient(w / 2.0, h / 2.0, std::max(w, h) * 0.7, leaves, shadow);
    const double cx = w * random.Range(0.35, 0.65), cy = h * random.Range(0.35, 0.65);
    const double r = std::min(w, h) * random.Range(0.18, 0.3);
    const int petals = random.Int(5, 12);
    const double turn = random.Range(0, Pi);
    const Colour petal = RandomColour(random, hue, 0.4, 1.0, 0.6, 1.0);
    for (int i = 0; i < petals; ++i) {
        const double a = turn + 2 * Pi * i / petals;
        const Colour shade = Mix(petal, {255, 255, 255}, random.Range(0.0, 0.25));
        c.Ellipse(cx + std::cos(a) * r * 0.55, cy + std::sin(a) * r * 0.55, r * 0.55, r * 0.2, a, shade, 0.95, 2.0);
    }
    const Colour heart = RandomColour(random, random.Range(0.1, 0.15), 0.9, 0.9, 0.4, 0.9);
    c.Disc(cx, cy, r * 0.22, heart, 1.0, 2.0);
}

void PaintFields(Canvas &c, SampleRandom &random, double hue)
{
    const int w = c.Width(), h = c.Height();
    c.VerticalGradient(FromHsv(0.58, 0.4, 0.9), FromHsv(0.55, 0.15, 0.98), 0, h / 3);
    double y = h / 4.0;
    int band = 0;
    while (y < h) {
        const double height = h * random.Range(0.06, 0.2) * (1.0 + 0.6 * band);
        const Colour top = RandomColour(random, hue + random.Range(-0.1, 0.1), 0.3, 0.9, 0.3, 0.95);
        const double wavelength = w * random.Range(0.6, 2.0), phase = random.Range(0, 2 * Pi);
        c.Ridge(y, h * 0.015, wavelength, phase, top, Mix(top, {0, 0, 0}, 0.3), 1.0);
        y += height;
        ++band;
    }
}

void PaintClouds(Canvas &c, SampleRandom &random, int count, double yMax, Colour colour)
{
    const int w = c.Width(), h = c.Height();
    for (int cloud = 0; cloud < count; ++cloud) {
        const double x = random.Range(0, w), y = random.Range(0, yMax);
        const int puffs = random.Int(3, 7);
        for (int puff = 0; puff < puffs; ++puff) {
            const double px = x + random.Range(-w * 0.08, w * 0.08), py = y + random.Range(-h * 0.03, h * 0.03);
            const double rx = w * random.Range(0.05, 0.12), ry = h * random.Range(0.03, 0.07);
            c.Ellipse(px, py, rx, ry, 0.0, colour, random.Range(0.5, 0.85), std::min(rx, ry) * 0.5);
        }
    }
}

// Skies are the largest plain areas of most photographs, so the collection
// has plenty of them, from deep blue to hazy white.
void PaintSky(Canvas &c, SampleRandom &random, double hue)
{
    const int h = c.Height();
    const double blue = 0.55 + 0.1 * (hue - std::floor(hue));
    const Colour top = RandomColour(random, blue, 0.25, 0.75, 0.45, 0.95);
    const Colour low = RandomColour(random, blue - 0.03, 0.05, 0.35, 0.75, 1.0);
    c.VerticalGradient(top, low, 0, h);
    const double grey = random.Range(0.8, 1.0) * 255.0;
    const int clouds = random.Int(0, 5);
    PaintClouds(c, random, clouds, h, {grey, grey, grey * 0.97});
}

void PaintSeaside(Canvas &c, SampleRandom &random, double hue)
{
    const int w = c.Width(), h = c.Height();
    const int horizon = int(h * random.Range(0.3, 0.55));
    const Colour skyTop = RandomColour(random, random.Range(0.55, 0.62), 0.3, 0.7, 0.6, 0.95);
    const Colour skyLow = RandomColour(random, random.Range(0.52, 0.6), 0.05, 0.25, 0.85, 1.0);
    c.VerticalGradient(skyTop, skyLow, 0, horizon);
    PaintClouds(c, random, random.Int(0, 3), horizon * 0.7, {250, 250, 252});
    const Colour sea = RandomColour(random, 0.5 + 0.08 * std::sin(hue * 2 * Pi), 0.4, 0.8, 0.4, 0.8);
    const int shore = int(horizon + (h - horizon) * random.Range(0.4, 0.75));
    c.VerticalGradient(sea, Mix(sea, {255, 255, 255}, 0.3), horizon, shore);
    const Colour sand = RandomColour(random, random.Range(0.08, 0.13), 0.2, 0.5, 0.7, 0.95);
    const double wavelength = w * random.Range(0.5, 1.5), phase = random.Range(0, 2 * Pi);
    c.Ridge(shore, h * 0.01, wavelength, phase, sand, Mix(sand, {0, 0, 0}, 0.2), 1.0);
}

struct Kind {
    const char *folder;
    void (*paint)(Canvas &, SampleRandom &, double hue);
};

const Kind Kinds[] = {
    {"landscapes", PaintLandscape}, {"bokeh", PaintBokeh},    {"abstract", PaintAbstract}, {"city", PaintCity},
    {"portraits", PaintPortrait},   {"flowers", PaintFlower}, {"fields", PaintFields},     {"skies", PaintSky},
    {"seaside", PaintSeaside},
};
constexpr int KindCount = int(sizeof(Kinds) / sizeof(Kinds[0]));

// A landscape scene with a sun, hills, a lake, a house and trees: varied
// enough in colour and detail to make a mosaic worth looking at.
void PaintSource(Canvas &c, SampleRandom &random)
{
    const int w = c.Width(), h = c.Height();
    const int horizon = int(h * 0.55);
    c.VerticalGradient({52, 98, 172}, {246, 214, 170}, 0, horizon + h / 10);
    PaintSun(c, w * 0.72, h * 0.27, h * 0.06, {255, 200, 110});
    for (int cloud = 0; cloud < 4; ++cloud) {
        const double x = w * (0.1 + 0.22 * cloud), y = h * random.Range(0.08, 0.25);
        for (int puff = 0; puff < 6; ++puff) {
            const double px = x + random.Range(-w * 0.06, w * 0.06), py = y + random.Range(-h * 0.015, h * 0.015);
            const double rx = w * random.Range(0.03, 0.06), ry = h * random.Range(0.02, 0.035);
            c.Ellipse(px, py, rx, ry, 0.0, {250, 248, 245}, 0.75, 25.0);
        }
    }
    c.Ridge(horizon - h * 0.1, h * 0.05, w * 0.9, 0.7, {118, 122, 170}, {90, 110, 140}, 1.0);
    c.Ridge(horizon - h * 0.02, h * 0.04, w * 0.6, 2.1, {70, 128, 74}, {40, 90, 48}, 1.0);
    c.Rect(0, horizon + h * 0.08, w, horizon + h * 0.2, {70, 120, 170}, 0.85);
    c.Ellipse(w * 0.72, horizon + h * 0.13, h * 0.03, h * 0.012, 0.0, {255, 220, 150}, 0.5, 30.0);
    c.Ridge(horizon + h * 0.2, h * 0.03, w * 1.3, 4.0, {128, 168, 60}, {70, 110, 30}, 1.0);

    const double houseX = w * 0.24, houseBase = horizon + h * 0.31;
    c.Rect(houseX, houseBase - h * 0.08, houseX + w * 0.08, houseBase, {200, 64, 48}, 1.0);
    c.Spire(houseX + w * 0.04, houseBase - h * 0.14, houseX - w * 0.01, houseX + w * 0.09, houseBase - h * 0.08,
            {80, 52, 44}, 1.0);
    c.Rect(houseX + w * 0.03, houseBase - h * 0.04, houseX + w * 0.05, houseBase, {60, 40, 30}, 1.0);
    c.Rect(houseX + w * 0.055, houseBase - h * 0.065, houseX + w * 0.072, houseBase - h * 0.045, {250, 230, 140}, 1.0);

    for (int tree = 0; tree < 9; ++tree) {
        const double x = w * (0.42 + 0.065 * tree) + random.Range(-w * 0.02, w * 0.02);
        const double base = horizon + h * random.Range(0.26, 0.36), size = h * random.Range(0.08, 0.14);
        const Colour needles{30, 70 + 40 * random.Unit(), 40};
        c.Rect(x - size * 0.06, base - size * 0.2, x + size * 0.06, base + size * 0.05, {90, 60, 35}, 1.0);
        c.Spire(x, base - size * 1.3, x - size * 0.4, x + size * 0.4, base - size * 0.15, needles, 1.0);
    }
    for (int flower = 0; flower < 160; ++flower) {
        const double x = random.Range(0, w), y = random.Range(h * 0.85, h), r = h * random.Range(0.003, 0.008);
        c.Disc(x, y, r, FromHsv(random.Range(0.0, 1.0), 0.7, 1.0), 0.9, 2.0);
    }
    c.Vignette(0.3);
    c.Grain(random, 4);
}

bool WritePicture(const Canvas &canvas, const QString &path, int quality, QString &error)
{
    if (!canvas.HasPixels()) {
        error = QString("not enough memory for %1").arg(path);
        return false;
    }
    if (!WriteJPEG(path, canvas.Picture(), quality)) {
        error = QString("cannot write %1").arg(path);
        return false;
    }
    return true;
}

// Picture i's light: the source's colour at the i-th point of a sequence that
// spreads over the picture evenly (the R2 sequence), so the collection's
// colours come in the source's proportions.
Colour PaletteColour(const Image &palette, int i)
{
    const double x = 0.5 + 0.7548776662466927 * i, y = 0.5 + 0.5698402909980532 * i;
    const int column = int((x - std::floor(x)) * palette.width), row = int((y - std::floor(y)) * palette.height);
    const unsigned char *p = palette.data + 3 * (size_t(row) * size_t(palette.width) + size_t(column));
    return {double(p[0]), double(p[1]), double(p[2])};
}

}   // namespace

bool MakeSample(const QString &dir, QString &error)
{
    const QDir root(dir);
    for (const Kind &kind : Kinds) {
        const QString folder = root.filePath(QString("collection/") + kind.folder);
        if (!QDir().mkpath(folder)) {
            error = QString("cannot create the folder %1").arg(folder);
            return false;
        }
    }

    // The source comes first: the collection is graded to its colours.
    SampleRandom sourceRandom(SampleSeed);
    Canvas source(SampleSourceWidth, SampleSourceHeight);
    Image palette;
    if (source.HasPixels()) {
        PaintSource(source, sourceRandom);
        palette = source.Picture();
        palette.Resize(PaletteColumns, PaletteRows, true);
    }
    if (!palette.data) {
        error = "not enough memory for the sample's source picture";
        return false;
    }

    for (int i = 0; i < SamplePictureCount; ++i) {
        // A seed of its own per picture keeps each one the same when others change.
        SampleRandom random(SampleSeed ^ (uint64_t(i + 1) * 0x9e3779b97f4a7c15ull));
        const Kind &kind = Kinds[(i / 3) % KindCount];
        const int longSide = random.Int(480, 640);
        const int shortSide = int(longSide * random.Range(0.67, 0.8));
        const int square = random.Int(320, 560);
        const int width = i % 3 == 0 ? longSide : i % 3 == 1 ? shortSide : square;
        const int height = i % 3 == 0 ? shortSide : i % 3 == 1 ? longSide : square;
        const double hue = i * 0.6180339887498949 + 0.13;

        Canvas canvas(width, height);
        if (canvas.HasPixels()) {
            kind.paint(canvas, random, hue);
            canvas.Vignette(random.Range(0.1, 0.35));
            canvas.Grade(PaletteColour(palette, i), GradeContrast);
            canvas.Grain(random, 5);
        }
        const QString name = QString("collection/%1/%1-%2.jpg").arg(kind.folder).arg(i, 3, 10, QChar('0'));
        if (!WritePicture(canvas, root.filePath(name), CollectionQuality, error))
            return false;
    }

    return WritePicture(source, root.filePath("source.jpg"), SourceQuality, error);
}
