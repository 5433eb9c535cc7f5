#include "TestKit.h"
#include "engine/DeepZoomPyramid.h"

#include <QTemporaryDir>
#include <QTest>

class TstDeepZoomPyramid : public QObject {
    Q_OBJECT
private slots:
    void tilesAreCropsOfReductions_data();
    void tilesAreCropsOfReductions();
};

void TstDeepZoomPyramid::tilesAreCropsOfReductions_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("blocked");
    // Row 4080 of the level below the picture ends a batch between the two
    // rows that its tiles 7 and 8 share.
    QTest::newRow("odd, overlap across batches") << QSize(1021, 8200) << QString();
    QTest::newRow("a tile cannot be written") << QSize(1100, 300) << "10/1_0.jpeg";
}

// Each tile is the file the encoder makes of its crop of the level, the
// level being the 2x2 box reduction of the one above, an odd edge its own
// neighbour. A tile that cannot be written fails the pyramid with its name,
// and the tiles still open beside it, on its level and below, are removed.
void TstDeepZoomPyramid::tilesAreCropsOfReductions()
{
    QFETCH(QSize, size);
    QFETCH(QString, blocked);
    QTemporaryDir dir;
    QVERIFY(blocked.isEmpty() || (QDir(dir.path()).mkpath("10") && QFile::link("/dev/full", dir.filePath(blocked))));
    Image level = Noise(size.width(), size.height()), part;
    QCOMPARE(DeepZoomPyramid(dir.path(), 3).Write(level), blocked.isEmpty());
    const int tile = DeepZoomPyramid::TileSize, overlap = DeepZoomPyramid::Overlap;
    // The folders are the levels, numbered from 0, with . and ..
    for (int number = int(QDir(dir.path()).count()) - 3; number >= 0; --number) {
        for (int y = 0; y < level.height; y += tile)
            for (int x = 0; x < level.width; x += tile) {
                const QString name = dir.filePath(QString("%1/%2_%3.jpeg").arg(number).arg(x / tile).arg(y / tile));
                const int left = std::max(x - overlap, 0), top = std::max(y - overlap, 0);
                part.Extract(level, left, top, std::min(x + tile + overlap, level.width) - left,
                             std::min(y + tile + overlap, level.height) - top);
                QVERIFY(blocked.isEmpty() ? WriteJPEG(name + ".expected", part, DeepZoomPyramid::Quality)
                                                && Contents(name) == Contents(name + ".expected")
                                          : name.endsWith(blocked) || !QFile::exists(name));
            }
        Image next((level.width + 1) / 2, (level.height + 1) / 2);
        for (size_t i = 0; i < next.ByteCount(); ++i) {
            int sum = 2;
            for (int d = 0; d < 4; ++d)
                sum += Pixel(level, std::min(int(i / 3 % size_t(next.width)) * 2 + d % 2, level.width - 1),
                             std::min(int(i / 3 / size_t(next.width)) * 2 + d / 2, level.height - 1))[i % 3];
            next.data[i] = uchar(sum / 4);
        }
        level = next;
    }
}

QTEST_GUILESS_MAIN(TstDeepZoomPyramid)
#include "tst_deepzoompyramid.moc"
