#include "ImagingTestSupport.h"

#include <QTest>

#include <climits>

// Under AddressSanitizer an impossible allocation must come back as null, as
// it does in a normal build, instead of stopping the test.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

// Smoothing 2.7 GB twice takes minutes under the sanitizers' instrumentation;
// there the largest image is only sampled, which still reads past 2^31 bytes.
#ifdef __SANITIZE_ADDRESS__
constexpr bool SmoothLargestImage = false;
#else
constexpr bool SmoothLargestImage = true;
#endif

class TstImage : public QObject {
    Q_OBJECT
private slots:
    void copies();
    void rotate_data();
    void rotate();
    void halfAndQuarter_data();
    void halfAndQuarter();
    void sampleByRepeatedAddition_data();
    void sampleByRepeatedAddition();
    void smoothing_data();
    void smoothing();
    void enlargementSmoothsResult();
    void resizeAndExtract();
    void drawSkipsRowsBelowBottom();
    void blend_data();
    void blend();
    void failedAllocation();
    void largestImage();
};

void TstImage::copies()
{
    QCOMPARE(Reds(Image(4, 3)), std::vector<int>(12, 0));
    Image a = Gray(2, 2, {1, 2, 3, 4}), b(a), c(5, 5);
    b.data[0] = 9;
    QCOMPARE(Red(a, 0, 0), 1);
    c = a;
    Image &alias = c;
    c = alias;
    QVERIFY(Same(c, a));
    c = Image(0, 3);
    QVERIFY(c.height == 3 && !c.data);
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
    QCOMPARE(Reds(image), expected);
    left ? image.RotateRight() : image.RotateLeft();
    QVERIFY(Same(image, source));
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
    // A 4 by 4 block of 15 with one 16 sums to 241, and 241 >> 4 is 15.
    const std::vector<int> block{16, 15, 15, 15, 255, 255, 15, 15, 15, 15, 0, 0, 15, 15, 15,
                                 15, 0,  0,  15, 15,  15,  15, 0,  0,  0,  0, 0, 0,  0,  0};
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
    Image src = Make(srcWidth, 1, [](int x, int) { return color3{static_cast<unsigned char>(x), 0, 0}; });
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
    Image image = Make(rows ? 100 : 10, rows ? 10 : 100, [&](int x, int y) {
        const int along = rows ? x : y, across = rows ? y : x;
        const unsigned char v = across % 2 ? 200 : (along == 3 ? 64 : 0);
        return color3{v, v, v};
    });
    image.Resize(rows ? 50 : 10, rows ? 10 : 50, filter);
    for (int across = 0; across < 10; ++across)
        for (int along = 0; along < 5; ++along)
            QCOMPARE(rows ? Red(image, along, across) : Red(image, across, along),
                     across % 2 ? 200 : profile[size_t(along)]);
}

void TstImage::enlargementSmoothsResult()
{
    std::vector<int> dot(100, 0);
    dot[55] = 64;
    Image image = Gray(10, 10, dot);
    image.Resize(20, 20, true);
    // Rows first (9: 16, 10: 52, 11: 45, 12: 11), then columns on those.
    QCOMPARE(Red(image, 10, 9), 13);
    QCOMPARE(Red(image, 10, 10), 42);
    QCOMPARE(Red(image, 9, 9), 4);
    QCOMPARE(Red(image, 12, 10), 8);
}

void TstImage::resizeAndExtract()
{
    Image key = Gray(40, 1, std::vector<int>(40, 90));
    key.ResizeToKey();
    QCOMPARE(key.width, Image::COMPARISON_X_SIZE);
    QCOMPARE(Reds(key), std::vector<int>(256, 90));
    key.Resize(0, 5, true);
    QVERIFY(!key.data);

    const Image src = Make(5, 4, [](int x, int y) { return color3{static_cast<unsigned char>(5 * y + x), 0, 0}; });
    Image part;
    part.Extract(src, 1, 1, 3, 2);
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
    const auto s = static_cast<unsigned char>(source), c = static_cast<unsigned char>(colour);
    // 37 pixels a row: the fast loop and its tail both count.
    Image target(40, 3);
    const color3 tint{c, 0, c};
    target.DrawImageBlendedWithColor(1, 1, Solid(37, 2, {s, s, s}), &tint, t);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 40; ++x) {
            const int want = y > 0 && x > 0 && x < 38 ? expected : 0;
            QCOMPARE(Red(target, x, y), want);
            QCOMPARE(int(target.data[(size_t(y) * 40 + x) * 3 + 2]), want);
        }
}

void TstImage::failedAllocation()
{
    // No machine holds this buffer: the image keeps its dimensions and has no pixels.
    Image huge(INT_MAX, INT_MAX);
    QCOMPARE(huge.width, INT_MAX);
    QVERIFY(!huge.data);
    QCOMPARE(huge.ByteCount(), size_t(INT_MAX) * size_t(INT_MAX) * 3);

    QVERIFY(!Image(huge).data);
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
    image.DrawImage(29900, 29900, Solid(100, 100, {250, 120, 30}));
    const unsigned char *last = image.data + image.ByteCount() - 3;
    QCOMPARE(int(last[0]), 250);
    QCOMPARE(int(last[2]), 30);
    QCOMPARE(Red(image, 29900, 29899), 0);
    QCOMPARE(Red(image, 29899, 29900), 0);

    // Every hundredth pixel is kept; when smoothed, the tile's corner has been
    // smoothed from the left (203) and then from above (164).
    image.Resize(300, 300, SmoothLargestImage);
    QCOMPARE(Red(image, 299, 299), SmoothLargestImage ? 164 : 250);
    QCOMPARE(Red(image, 298, 299), 0);
    QCOMPARE(Red(image, 299, 298), 0);
}

QTEST_GUILESS_MAIN(TstImage)
#include "tst_image.moc"
