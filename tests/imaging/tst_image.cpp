#include "TestKit.h"

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
    void rotate();
    void halfAndQuarter();
    void resizeAndExtract();
    void drawSkipsRowsBelowBottom();
    void failedAllocation();
    void largestImage();
};

void TstImage::copies()
{
    QCOMPARE(Reds(Image(4, 3)), std::vector<int>(12, 0));
    Image a = Gray(2, 2, {1, 2, 3, 4}), b(a), c(5, 5);
    b.data[0] = 9;
    QCOMPARE(int(*Pixel(a, 0, 0)), 1);
    c = a;
    Image &alias = c;
    c = alias;
    QVERIFY(Same(c, a));
    c = Image(0, 3);
    QVERIFY(c.height == 3 && !c.data);
}

// The 3 by 2 source holds 10 * y + x at (x, y).
void TstImage::rotate()
{
    const Image source = Gray(3, 2, {0, 1, 2, 10, 11, 12});
    Image left = source, right = source;
    left.RotateLeft();
    right.RotateRight();
    QCOMPARE(left.width, 2);
    QCOMPARE(Reds(left), (std::vector<int>{2, 12, 1, 11, 0, 10}));
    QCOMPARE(Reds(right), (std::vector<int>{10, 0, 11, 1, 12, 2}));
    left.RotateRight();
    QVERIFY(Same(left, source));
}

// Blocks are averaged with a shift, and a partial block at the right or the
// bottom is dropped: (1 + 2 + 2 + 2) >> 2 is 1, a 4 by 4 block of 15 with one
// 16 sums to 241, and 241 >> 4 is 15.
void TstImage::halfAndQuarter()
{
    Image half = Gray(5, 3, {1, 2, 100, 100, 250, 2, 2, 100, 101, 250, 250, 250, 250, 250, 250});
    half.HalfSize();
    QVERIFY(half.width == 2 && half.height == 1 && Reds(half) == (std::vector<int>{1, 100}));
    Image quarter = Gray(6, 5, {16, 15, 15, 15, 255, 255, 15, 15, 15, 15, 0, 0, 15, 15, 15,
                                15, 0,  0,  15, 15,  15,  15, 0,  0,  0,  0, 0, 0,  0,  0});
    quarter.QuarterSize();
    QVERIFY(quarter.width == 1 && quarter.height == 1 && Reds(quarter) == std::vector<int>{15});
    Image one = Gray(1, 1, {7}), three = Gray(3, 3, std::vector<int>(9, 8));
    one.HalfSize();
    three.QuarterSize();
    QVERIFY(one.width == 0 && !one.data && three.height == 0 && !three.data);
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
    QCOMPARE(int(*Pixel(image, 29900, 29899)), 0);
    QCOMPARE(int(*Pixel(image, 29899, 29900)), 0);

    // Every hundredth pixel is kept; when smoothed, the tile's corner has been
    // smoothed from the left (203) and then from above (164).
    image.Resize(300, 300, SmoothLargestImage);
    QCOMPARE(int(*Pixel(image, 299, 299)), SmoothLargestImage ? 164 : 250);
    QCOMPARE(int(*Pixel(image, 298, 299)), 0);
    QCOMPARE(int(*Pixel(image, 299, 298)), 0);
}

QTEST_GUILESS_MAIN(TstImage)
#include "tst_image.moc"
