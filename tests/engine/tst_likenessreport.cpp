#include "TestKit.h"
#include "engine/ImagePosterParameters.h"
#include "engine/LikenessReport.h"
#include "engine/MosaicLikeness.h"
#include "engine/PosterGenerator.h"

#include <QImage>
#include <QTemporaryDir>
#include <QTest>

// A 2 by 2 mosaic of a grey source over four grey pictures: greys survive
// JPEG exactly, so every difference is known (a grey step of 10 is 10).
class TstLikenessReport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void reportFiles();

private:
    QString Picture(int grey) const { return dir.filePath(QString("collection/grey%1.jpg").arg(grey)); }

    QTemporaryDir dir;
    ImagePosterParameters params;
    MosaicLikeness likeness;
};

void TstLikenessReport::initTestCase()
{
    QVERIFY(QDir(dir.path()).mkdir("collection"));
    for (int grey : {40, 120, 200, 250})
        QVERIFY(WriteJPEG(Picture(grey), Solid(40, 30, {uchar(grey), uchar(grey), uchar(grey)}), 90));
    params.sourceImage = new Image(80, 40);
    const int greys[4] = {50, 130, 190, 40};   // row by row
    for (int tile = 0; tile < 4; ++tile) {
        const uchar grey = uchar(greys[tile]);
        Paint(*params.sourceImage, tile % 2 * 40, tile / 2 * 20, 40, 20, {grey, grey, grey});
    }
    params.outputFilename = dir.filePath("mosaic.jpg");
    params.divisions = 2;
    params.repeats = 2;
    params.blend = 0;
    params.targetResolution = 200;
    QVERIFY(RunUpdate(params.imageDB, {dir.filePath("collection")}, ImageDB::StrategyFast, 2));

    PosterGenerator generator(&params);
    QSignalSpy complete(&generator, &PosterGenerator::complete);
    generator.Generate(nullptr);
    QVERIFY(complete.wait(30000));
    likeness = MosaicLikeness::Measure(generator.Matches(), *params.sourceImage, params.imageDB);
}

void TstLikenessReport::reportFiles()
{
    const QString report = dir.filePath("report");
    QString error;
    QVERIFY2(WriteLikenessReport(report, likeness, error), qPrintable(error));

    const QString tiles = QString("column,row,picture,rotation,difference\n"
                                  "0,0,%1,0,10.0\n1,0,%2,0,10.0\n0,1,%3,0,10.0\n1,1,%1,0,0.0\n")
                              .arg(Picture(40), Picture(120), Picture(200));
    QCOMPARE(QString(Contents(report + "/tiles.csv")), tiles);
    const QString pictures =
        QString("picture,uses\n%1,2\n%2,1\n%3,1\n%4,0\n").arg(Picture(40), Picture(120), Picture(200), Picture(250));
    QCOMPARE(QString(Contents(report + "/pictures.csv")), pictures);

    // One cell per tile, green where alike, red at the worst; a legend below.
    const QImage map(report + "/likeness.png");
    QVERIFY(!map.isNull());
    QVERIFY(map.width() >= 640 && map.height() > 640 / 2 + 40);
    const QRgb alike = map.pixel(12 + 480, 12 + 240), worst = map.pixel(12 + 160, 12 + 80);
    QVERIFY2(qGreen(alike) > 2 * qRed(alike), qPrintable(QString::number(alike, 16)));
    QVERIFY2(qRed(worst) > 2 * qGreen(worst), qPrintable(QString::number(worst, 16)));
    QCOMPARE(LikenessSummary(likeness),
             QString("Likeness: mean difference 7.5, worst 10.0 (column 0, row 0); 1 of 4 pictures never used; "
                     "most used: %1, 2 times.")
                 .arg(Picture(40)));
}

QTEST_GUILESS_MAIN(TstLikenessReport)
#include "tst_likenessreport.moc"
