#include "TestKit.h"
#include "imaging/Cpu.h"

#include <QTest>

// Every fast path of the raster operations against the plain loops: the same
// random pictures through each set of processor features the machine has,
// for every row length up to past the tails of the widest steps (AVX-512
// smooths 12 bytes a step along a row and 32 down the columns, SSE2 16;
// blending takes 16 and 48).
class TstKernels : public QObject {
    Q_OBJECT
private slots:
    void matchesPlain_data();
    void matchesPlain();
    void cleanup() { Cpu::Limit(Cpu::All); }
};

namespace {

enum Operation { SmoothRows, SmoothColumns, SmoothBoth, Enlarge, Blend };

// A reduction smooths its source in place before it samples, so the source
// shows every smoothed byte; an enlargement smooths its result.
Image Run(int operation, int width, unsigned seed)
{
    const int height = 5;
    Image picture = Noise(width, height, seed);
    if (operation == Enlarge) {
        picture.Resize(2 * width + 1, 2 * height, true);
        return picture;
    }
    if (operation == Blend) {
        Image target = Noise(width + 3, height + 2, seed + 1);
        const color3 colour{static_cast<unsigned char>(seed * 37), 200, static_cast<unsigned char>(seed)};
        target.DrawImageBlendedWithColor(2, 1, picture, &colour, float(seed % 11) / 10.0f);
        return target;
    }
    const int w = operation == SmoothColumns ? width : std::max(width / 2, 1);
    const int h = operation == SmoothRows ? height : 2;
    Image reduced(w, h);
    Sample2d(picture.data, width, height, reduced.data, w, h, 0, 0, width, height, 1);
    return picture;
}

}   // namespace

void TstKernels::matchesPlain_data()
{
    QTest::addColumn<unsigned>("features");
    QTest::addColumn<int>("operation");
    const std::pair<unsigned, const char *> kernels[] = {{Cpu::Sse2, "SSE2"}, {Cpu::Sse2 | Cpu::Avx512, "AVX-512"}};
    const char *operations[] = {"smoothing along rows", "smoothing down columns", "smoothing both ways", "enlargement",
                                "blended drawing"};
    for (const auto &[features, name] : kernels)
        for (int operation = SmoothRows; operation <= Blend; ++operation)
            QTest::addRow("%s, %s", name, operations[operation]) << features << operation;
}

void TstKernels::matchesPlain()
{
    QFETCH(unsigned, features);
    QFETCH(int, operation);
    if (!Cpu::Has(features))
        QSKIP("The processor lacks these instructions");
    for (int width = 1; width <= 70; ++width) {
        Cpu::Limit(0);
        const Image plain = Run(operation, width, unsigned(width));
        Cpu::Limit(features);
        const Image fast = Run(operation, width, unsigned(width));
        QVERIFY2(Same(fast, plain), qPrintable(QString("width %1").arg(width)));
    }
}

QTEST_GUILESS_MAIN(TstKernels)
#include "tst_kernels.moc"
