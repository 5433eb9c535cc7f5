#include "imaging/Image.h"

#include <QTest>

#include <climits>
#include <functional>
#include <vector>

// Under AddressSanitizer an impossible allocation must come back as null, as
// it does in a normal build, instead of stopping the test.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

Image Make(int w, int h, const std::function<color3(int, int)> &pixel)
{
    Image image(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const color3 c = pixel(x, y);
            unsigned char *p = image.data + (size_t(y) * w + x) * 3;
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    return image;
}

// One channel value per pixel, the same in red, green and blue.
Image Gray(int w, int h, const std::vector<int> &values)
{
    return Make(w, h, [&](int x, int y) {
        const auto v = static_cast<unsigned char>(values[size_t(y) * w + x]);
        return color3{v, v, v};
    });
}

std::vector<int> Reds(const Image &image)
{
    std::vector<int> reds;
    for (size_t i = 0; i < image.ByteCount(); i += 3)
        reds.push_back(image.data[i]);
    return reds;
}

int Red(const Image &image, int x, int y)
{
    return image.data[(size_t(y) * image.width + x) * 3];
}

// Smoothing 2.7 GB twice takes minutes under the sanitizers' instrumentation;
// there the largest image is only sampled, which still reads past 2^31 bytes.
#ifdef __SANITIZE_ADDRESS__
constexpr bool SmoothLargestImage = false;
#else
constexpr bool SmoothLargestImage = true;
#endif

} // namespace

class TstImage : public QObject {
    Q_OBJECT
private slots:
    void construction();
    void copyAndAssign();
    void rotate_data();
    void rotate();
    void rotateKeepsChannels();
    void halfAndQuarter_data();
    void halfAndQuarter();
    void resizeBuffers();
    void sampleByRepeatedAddition_data();
    void sampleByRepeatedAddition();
    void smoothing_data();
    void smoothing();
    void enlargementSmoothsResult();
    void extract();
    void drawSkipsRowsBelowBottom();
    void blend_data();
    void blend();
    void failedAllocation();
    void largestImage();
};

void TstImage::construction()
{
    const Image empty;
    QCOMPARE(empty.width, 0);
    QCOMPARE(empty.height, 0);
    QVERIFY(!empty.data);

    const Image black(4, 3);
    QCOMPARE(black.ByteCount(), size_t(36));
    QCOMPARE(Reds(black), std::vector<int>(12, 0));
    QCOMPARE(black.data[35], 0);

    const Image none(0, 7);
    QCOMPARE(none.height, 7);
    QVERIFY(!none.data);
}

void TstImage::copyAndAssign()
{
    Image a = Gray(2, 2, {1, 2, 3, 4});
    Image b(a);
    QVERIFY(b.data != a.data);
    QCOMPARE(Reds(b), Reds(a));
    b.data[0] = 9;
    QCOMPARE(Red(a, 0, 0), 1);

    Image c(5, 5);
    c = a;
    QCOMPARE(c.width, 2);
    QCOMPARE(Reds(c), Reds(a));

    Image &alias = c;
    c = alias;
    QCOMPARE(Reds(c), (std::vector<int>{1, 2, 3, 4}));

    c = Image(0, 3);
    QCOMPARE(c.height, 3);
    QVERIFY(!c.data);
}

void TstImage::rotate_data()
{
    QTest::addColumn<bool>("left");
    QTest::addColumn<std::vector<int>>("expected");
    // The 3 by 2 source holds 10 * y + x at (x, y).
    QTest::newRow("left") << true << std::vector<int>{2, 12, 1, 11, 0, 10};
    QTest::newRow("right") << false << std::vector<int>{10, 0, 11, 1, 12, 2};
}

void TstImage::rotate()
{
    QFETCH(bool, left);
    QFETCH(std::vector<int>, expected);
    const Image source = Gray(3, 2, {0, 1, 2, 10, 11, 12});
    Image image = source;
    left ? image.RotateLeft() : image.RotateRight();
    QCOMPARE(image.width, 2);
    QCOMPARE(image.height, 3);
    QCOMPARE(Reds(image), expected);

    left ? image.RotateRight() : image.RotateLeft();
    QCOMPARE(image.width, 3);
    QCOMPARE(Reds(image), Reds(source));

    Image bare;
    bare.width = 3;
    bare.height = 2;
    left ? bare.RotateLeft() : bare.RotateRight();
    QCOMPARE(bare.width, 2);
    QCOMPARE(bare.height, 3);
    QVERIFY(!bare.data);
}

void TstImage::rotateKeepsChannels()
{
    Image image = Make(2, 1, [](int x, int) { return color3{10, 20, static_cast<unsigned char>(30 + x)}; });
    image.RotateRight();
    QCOMPARE(image.data[0], 10);
    QCOMPARE(image.data[1], 20);
    QCOMPARE(image.data[2], 30);
    QCOMPARE(image.data[5], 31);
}

void TstImage::halfAndQuarter_data()
{
    QTest::addColumn<bool>("half");
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<std::vector<int>>("source");
    QTest::addColumn<int>("newWidth");
    QTest::addColumn<int>("newHeight");
    QTest::addColumn<std::vector<int>>("expected");
    // The fifth column and third row are dropped; (1 + 2 + 2 + 2) >> 2 is 1.
    QTest::newRow("half 5x3") << true << 5 << 3
                              << std::vector<int>{1, 2, 100, 100, 250, 2, 2, 100, 101, 250, 250, 250, 250, 250, 250}
                              << 2 << 1 << std::vector<int>{1, 100};
    QTest::newRow("half 1x1") << true << 1 << 1 << std::vector<int>{7} << 0 << 0 << std::vector<int>{};
    std::vector<int> block(6 * 5, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            block[size_t(y) * 6 + x] = 15 + (x == 0 && y == 0 ? 1 : 0);
    block[4] = block[5] = 255;
    QTest::newRow("quarter 6x5") << false << 6 << 5 << block << 1 << 1 << std::vector<int>{15};
    QTest::newRow("quarter 3x3") << false << 3 << 3 << std::vector<int>(9, 8) << 0 << 0 << std::vector<int>{};
}

void TstImage::halfAndQuarter()
{
    QFETCH(bool, half);
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(std::vector<int>, source);
    QFETCH(int, newWidth);
    QFETCH(int, newHeight);
    QFETCH(std::vector<int>, expected);
    Image image = Gray(w, h, source);
    half ? image.HalfSize() : image.QuarterSize();
    QCOMPARE(image.width, newWidth);
    QCOMPARE(image.height, newHeight);
    QCOMPARE(Reds(image), expected);
    QCOMPARE(image.data == nullptr, expected.empty());
}

void TstImage::resizeBuffers()
{
    Image bare;
    bare.Resize(4, 4, true);
    QCOMPARE(bare.width, 4);
    QCOMPARE(Reds(bare), std::vector<int>(16, 0));

    Image image = Gray(3, 3, {9, 200, 3, 40, 5, 60, 7, 80, 9});
    const std::vector<int> before = Reds(image);
    image.Resize(3, 3, true);
    QCOMPARE(Reds(image), before);

    image.Resize(0, 5, true);
    QCOMPARE(image.width, 0);
    QCOMPARE(image.height, 5);
    QVERIFY(!image.data);

    Image key = Gray(40, 1, std::vector<int>(40, 90));
    key.ResizeToKey();
    QCOMPARE(key.width, Image::COMPARISON_X_SIZE);
    QCOMPARE(key.height, Image::COMPARISON_Y_SIZE);
    QCOMPARE(Reds(key), std::vector<int>(256, 90));
}

void TstImage::sampleByRepeatedAddition_data()
{
    QTest::addColumn<int>("srcWidth");
    QTest::addColumn<int>("dstWidth");
    QTest::addColumn<int>("x0");
    QTest::addColumn<int>("regionWidth");
    QTest::addColumn<std::vector<int>>("columns");
    QTest::newRow("reduce by 3") << 9 << 3 << 0 << 9 << std::vector<int>{0, 3, 6};
    QTest::newRow("region") << 9 << 2 << 4 << 4 << std::vector<int>{4, 6};
    // 0.1 added ten times stays below 1.0, so the eleventh pixel still takes column 0.
    std::vector<int> tenths(30);
    for (int i = 0; i < 30; ++i)
        tenths[size_t(i)] = i / 10;
    tenths[10] = 0;
    QTest::newRow("enlarge by 10") << 3 << 30 << 0 << 3 << tenths;
}

void TstImage::sampleByRepeatedAddition()
{
    QFETCH(int, srcWidth);
    QFETCH(int, dstWidth);
    QFETCH(int, x0);
    QFETCH(int, regionWidth);
    QFETCH(std::vector<int>, columns);
    std::vector<int> indices(static_cast<size_t>(srcWidth));
    for (int i = 0; i < srcWidth; ++i)
        indices[size_t(i)] = i;
    Image src = Gray(srcWidth, 1, indices);
    Image dst(dstWidth, 1);
    Sample2d(src.data, srcWidth, 1, dst.data, dstWidth, 1, x0, 0, regionWidth, 1, 0);
    QCOMPARE(Reds(dst), columns);
}

void TstImage::smoothing_data()
{
    QTest::addColumn<bool>("rows");
    QTest::addColumn<bool>("filter");
    QTest::addColumn<std::vector<int>>("profile");
    // One bright line across the halved direction; the pass runs on the values it
    // has already replaced (16, 36, 9, 2), and picks every second of them.
    QTest::newRow("rows halved") << true << true << std::vector<int>{0, 16, 9, 0, 0};
    QTest::newRow("columns halved") << false << true << std::vector<int>{0, 16, 9, 0, 0};
    QTest::newRow("rows unfiltered") << true << false << std::vector<int>{0, 0, 0, 0, 0};
}

void TstImage::smoothing()
{
    QFETCH(bool, rows);
    QFETCH(bool, filter);
    QFETCH(std::vector<int>, profile);
    // 100 by 10 to 50 by 10, or transposed. Even lines hold the bright line,
    // odd lines are a constant 200 that only smoothing across would disturb.
    const int w = rows ? 100 : 10;
    const int h = rows ? 10 : 100;
    Image image = Make(w, h, [&](int x, int y) {
        const int along = rows ? x : y;
        const int across = rows ? y : x;
        const unsigned char v = across % 2 ? 200 : (along == 3 ? 64 : 0);
        return color3{v, v, v};
    });
    image.Resize(rows ? 50 : 10, rows ? 10 : 50, filter);
    for (int across = 0; across < 10; ++across) {
        for (int along = 0; along < 5; ++along) {
            const int v = rows ? Red(image, along, across) : Red(image, across, along);
            QCOMPARE(v, across % 2 ? 200 : profile[size_t(along)]);
        }
    }
}

void TstImage::enlargementSmoothsResult()
{
    std::vector<int> dot(100, 0);
    dot[55] = 64;
    Image image = Gray(10, 10, dot);
    Image unfiltered = image;
    image.Resize(20, 20, true);
    unfiltered.Resize(20, 20, false);

    QCOMPARE(Red(unfiltered, 10, 10), 64);
    QCOMPARE(Red(unfiltered, 9, 10), 0);
    QCOMPARE(Red(unfiltered, 10, 9), 0);
    // Rows first (9: 16, 10: 52, 11: 45, 12: 11), then columns on those.
    QCOMPARE(Red(image, 10, 9), 13);
    QCOMPARE(Red(image, 10, 10), 42);
    QCOMPARE(Red(image, 9, 9), 4);
    QCOMPARE(Red(image, 12, 10), 8);
    QCOMPARE(Red(image, 0, 0), 0);
}

void TstImage::extract()
{
    std::vector<int> values(20);
    for (int i = 0; i < 20; ++i)
        values[size_t(i)] = i;
    const Image src = Gray(5, 4, values);
    Image part;
    part.Extract(src, 1, 1, 3, 2);
    QCOMPARE(part.width, 3);
    QCOMPARE(part.height, 2);
    QCOMPARE(Reds(part), (std::vector<int>{6, 7, 8, 11, 12, 13}));

    const unsigned char *buffer = part.data;
    part.Extract(src, 2, 2, 3, 2);
    QCOMPARE(part.data, buffer);
    QCOMPARE(Reds(part), (std::vector<int>{12, 13, 14, 17, 18, 19}));
}

void TstImage::drawSkipsRowsBelowBottom()
{
    Image target = Gray(4, 4, std::vector<int>(16, 1));
    const Image tile = Gray(2, 3, {10, 11, 20, 21, 30, 31});
    target.DrawImage(1, 2, tile);
    QCOMPARE(Reds(target), (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, 10, 11, 1, 1, 20, 21, 1}));

    Image tinted = Gray(4, 4, std::vector<int>(16, 1));
    const color3 white{255, 255, 255};
    tinted.DrawImageBlendedWithColor(2, 3, tile, &white, 1.0f);
    QCOMPARE(Reds(tinted), (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 255, 255}));

    // Positions past the other edges draw only what lies inside.
    Image edges = Gray(4, 4, std::vector<int>(16, 1));
    edges.DrawImage(-1, -1, tile);
    edges.DrawImage(3, 2, tile);
    edges.DrawImage(INT_MIN, INT_MAX, tile);
    QCOMPARE(Reds(edges), (std::vector<int>{21, 1, 1, 1, 31, 1, 1, 1, 1, 1, 1, 10, 1, 1, 1, 20}));
}

void TstImage::blend_data()
{
    QTest::addColumn<float>("t");
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("colour");
    QTest::addColumn<int>("expected");
    QTest::newRow("pure source") << 0.0f << 100 << 200 << 100;
    QTest::newRow("pure colour") << 1.0f << 100 << 200 << 200;
    QTest::newRow("a fifth") << 0.2f << 100 << 200 << 120;
    QTest::newRow("truncated") << 0.5f << 0 << 3 << 1;
    QTest::newRow("white into white") << 0.37f << 255 << 255 << 255;
}

void TstImage::blend()
{
    QFETCH(float, t);
    QFETCH(int, source);
    QFETCH(int, colour);
    QFETCH(int, expected);
    const auto s = static_cast<unsigned char>(source);
    const auto c = static_cast<unsigned char>(colour);
    const Image tile = Make(2, 2, [&](int, int) { return color3{s, s, s}; });
    Image target(3, 3);
    const color3 tint{c, 0, c};
    target.DrawImageBlendedWithColor(1, 1, tile, &tint, t);
    QCOMPARE(int(target.data[(1 * 3 + 1) * 3]), expected);
    QCOMPARE(int(target.data[(2 * 3 + 2) * 3 + 2]), expected);
    QCOMPARE(int(target.data[0]), 0);
    if (t == 0.0f) {
        Image drawn(3, 3);
        drawn.DrawImage(1, 1, tile);
        QCOMPARE(Reds(target), Reds(drawn));
    }
}

void TstImage::failedAllocation()
{
    // No machine holds this buffer: the image keeps its dimensions and has no pixels.
    Image huge(INT_MAX, INT_MAX);
    QCOMPARE(huge.width, INT_MAX);
    QVERIFY(!huge.data);
    QCOMPARE(huge.ByteCount(), size_t(INT_MAX) * size_t(INT_MAX) * 3);

    Image copy(huge);
    QVERIFY(!copy.data);
    Image small = Gray(2, 2, {1, 2, 3, 4});
    small.DrawImage(0, 0, huge);
    huge.DrawImage(0, 0, small);
    QCOMPARE(Reds(small), (std::vector<int>{1, 2, 3, 4}));

    small.Resize(INT_MAX, INT_MAX, true);
    QCOMPARE(small.height, INT_MAX);
    QVERIFY(!small.data);

    huge.RotateLeft();
    huge.Resize(3, 3, true);
    QCOMPARE(Reds(huge), std::vector<int>(9, 0));
}

void TstImage::largestImage()
{
    // The largest output: its buffer (2.7 GB) is past 2^31 bytes.
    Image image(30000, 30000);
    QVERIFY(image.data);
    QCOMPARE(image.ByteCount(), size_t(2700000000));
    const Image tile = Make(100, 100, [](int, int) { return color3{250, 120, 30}; });
    image.DrawImage(29900, 29900, tile);
    const unsigned char *last = image.data + image.ByteCount() - 3;
    QCOMPARE(int(last[0]), 250);
    QCOMPARE(int(last[2]), 30);
    QCOMPARE(Red(image, 29900, 29899), 0);
    QCOMPARE(Red(image, 29899, 29900), 0);

    // Every hundredth pixel is kept; when smoothed, the tile's corner has been
    // smoothed from the left (203) and then from above (164).
    image.Resize(300, 300, SmoothLargestImage);
    QCOMPARE(image.width, 300);
    QCOMPARE(Red(image, 299, 299), SmoothLargestImage ? 164 : 250);
    QCOMPARE(Red(image, 298, 299), 0);
    QCOMPARE(Red(image, 299, 298), 0);
}

QTEST_GUILESS_MAIN(TstImage)
#include "tst_image.moc"
