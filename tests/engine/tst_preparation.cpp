#include "TestKit.h"
#include "engine/ImagePosterParameters.h"
#include "engine/MatchData.h"
#include "imaging/TileMetrics.h"

#include <QTest>
#include <cmath>
#include <map>

namespace {

// The tile order as it was made on the whole picture: scaled to 16 pixels a
// tile, skin counted, edges drawn with two maps the size of it, keys in an
// ordered map.
QList<QPair<int, int>> OrderOnWholePicture(const Image &image, int numX, int numY)
{
    // DrawEdges's kernels: the vertical one is the horizontal one turned, with its sign changed.
    static const float H[5][5] = {
        {-1, -1, 0, 1, 1}, {-2, -2, 0, 2, 2}, {-4, -2, 0, 2, 4}, {-2, -2, 0, 2, 2}, {-1, -1, 0, 1, 1}};
    Image s(image);
    s.Resize(16 * numX, 16 * numY, true);
    const int w = s.width, h = s.height;
    std::vector<float> bright(size_t(w) * h), edge(size_t(w) * h);
    std::vector<qint64> skin(size_t(numX) * numY), edges(size_t(numX) * numY);
    for (int i = 0; i < w * h; ++i) {
        const unsigned char *p = s.data + 3 * size_t(i);
        const float r = p[0], g = p[1], b = p[2];
        bright[size_t(i)] = std::sqrt(r * r + g * g + b * b);
        skin[size_t(i / w / 16 * numX + i % w / 16)] += FleshTone({p[0], p[1], p[2]});
    }
    float emax = 0.0f;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float gx = 0.0f, gy = 0.0f;
            for (int i = 0; i < 5; ++i)
                for (int j = 0; j < 5; ++j) {
                    const float v = bright[size_t(std::max(std::min(y - 2 + i, h - 2), 0)) * w
                                           + size_t(std::max(std::min(x - 2 + j, w - 2), 0))];
                    gx += v * H[i][j];
                    gy += v * -H[j][i];
                }
            edge[size_t(y) * w + x] = std::sqrt(gx * gx + gy * gy);
            emax = std::max(emax, edge[size_t(y) * w + x]);
        }
    for (int i = 0; i < w * h; ++i)
        edges[size_t(i / w / 16 * numX + i % w / 16)] += double(edge[size_t(i)] / emax) < 0.1 ? 0 : 255;
    const qint64 maxEdge = *std::max_element(edges.begin(), edges.end());
    const double reference = std::sqrt(double(numX / 2 + 1) * (numX / 2 + 1) + double(numY / 2 + 1) * (numY / 2 + 1));
    std::map<double, QPair<int, int>> scored;
    for (int r = 0; r < numY; ++r)
        for (int c = 0; c < numX; ++c) {
            const size_t t = size_t(r) * numX + c;
            const double v = (maxEdge > 0 ? double(edges[t]) / double(maxEdge) * 0.25 : 0.0)
                             + skin[t] * 0.00390625 * 0.74
                             + std::sqrt(double(c - numX / 2) * (c - numX / 2) + double(r - numY / 2) * (r - numY / 2))
                                   / reference * 0.01;
            double key = 1.0 - v * v;
            while (scored.count(key))
                key = (1.0 - v * v) + drand48() * 0.0005;
            scored.emplace(key, qMakePair(r, c));
        }
    QList<QPair<int, int>> order;
    for (const auto &entry : scored)
        order.append(entry.second);
    return order;
}

}   // namespace

class TstPreparation : public QObject {
    Q_OBJECT
private slots:
    void tileSizes();
    void orderAsOnWholePicture();
};

// Every pixel belongs to exactly one tile and the sizes differ by at most
// one; a single spare pixel goes to the middle tile, more to the ends first.
void TstPreparation::tileSizes()
{
    const MatchData data;
    QCOMPARE(TileCuts(data, 11, 5), std::pair(QList<int>{2, 2, 3, 2, 2}, QList<int>{0, 2, 4, 7, 9}));
    QCOMPARE(TileCuts(data, 2, 4), std::pair(QList<int>{1, 0, 0, 1}, QList<int>{0, 1, 1, 1}));
    for (int count = 1; count <= 80; ++count) {
        for (int length : {count + 1, 2 * count - 1, 4500, 6001}) {
            const auto [sizes, offsets] = TileCuts(data, length, count);
            const int base = length / count;
            for (int i = 0; i < count; ++i) {
                QVERIFY2(sizes[i] == base || sizes[i] == base + 1,
                         qPrintable(QString("%1 over %2").arg(length).arg(count)));
                QCOMPARE(offsets[i], i == 0 ? 0 : offsets[i - 1] + sizes[i - 1]);
            }
            QCOMPARE(offsets.last() + sizes.last(), length);
            QVERIFY(length % count < 2 || (sizes.first() == base + 1 && sizes.last() == base + 1));
        }
    }
}

// The same order, jitter included, as on the whole picture, however the
// tile columns are shared out: reduced, enlarged one way and reduced the
// other, and flat (all ties).
void TstPreparation::orderAsOnWholePicture()
{
    // Picture, grid, parts, and the percent of each side in a skin colour.
    const int cases[][6] = {{400, 300, 12, 9, 1, 30}, {90, 200, 23, 5, 2, 40}, {64, 48, 20, 20, 3, 100}};
    for (const auto &c : cases) {
        Image image = Noise(c[0], c[1]);
        Paint(image, 0, 0, c[0] * c[5] / 100, c[1] * c[5] / 100, {200, 150, 120});
        srand48(7);
        const QList<QPair<int, int>> before = OrderOnWholePicture(image, c[2], c[3]);
        srand48(7);
        MatchData data;
        data.Reset(c[2], c[3]);
        std::vector<float> strongest(size_t(c[4]), 0.0f);
        for (int k = 0; k < c[4]; ++k)
            QVERIFY(data.MeasureTiles(image, c[2] * k / c[4], c[2] * (k + 1) / c[4], strongest[size_t(k)],
                                      [] { return true; }));
        const float strongestEdge = *std::max_element(strongest.begin(), strongest.end());
        for (int k = 0; k < c[4]; ++k)
            QVERIFY(data.CountEdges(image, c[2] * k / c[4], c[2] * (k + 1) / c[4], strongestEdge, [] { return true; }));
        data.OrderTiles();
        QCOMPARE(data.tileOrder, before);
    }
}

QTEST_GUILESS_MAIN(TstPreparation)
#include "tst_preparation.moc"
