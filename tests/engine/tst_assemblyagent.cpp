#include "TestKit.h"
#include "engine/AssemblyAgent.h"
#include "engine/ImagePosterParameters.h"

#include <QTemporaryDir>
#include <QTest>

// The whole-pipeline tests draw flat pictures, where a tile turned the wrong
// way or a picture gone since the scan would not show; these show them.
class TstAssemblyAgent : public QObject {
    Q_OBJECT
private slots:
    void turnedAndMissingPictures();
};

namespace {
const color3 RedTone{230, 20, 20}, GreenTone{20, 200, 40}, BlueTone{30, 30, 220}, WhiteTone{250, 250, 250};

// Red top left, green top right, blue bottom left, white bottom right.
Image Quadrants(int w, int h)
{
    Image image = Solid(w, h, WhiteTone);
    Paint(image, 0, 0, w / 2, h / 2, RedTone);
    Paint(image, w / 2, 0, w - w / 2, h / 2, GreenTone);
    Paint(image, 0, h / 2, w / 2, h - h / 2, BlueTone);
    return image;
}
}   // namespace

// A 3 by 2 grid over a 61 by 41 output: the quadrant picture fills two tiles,
// one of them turned right, a picture gone since the scan a third; the
// others have no picture. Columns 21, 20, 20 wide; rows 21 and 20 high.
void TstAssemblyAgent::turnedAndMissingPictures()
{
    QTemporaryDir dir;
    const QString quadrants = dir.filePath("quadrants.jpg"), missing = dir.filePath("missing.jpg");
    QVERIFY(WriteJPEG(quadrants, Quadrants(120, 80), 100));
    ImagePosterParameters params;
    params.blend = 0;
    params.imageDB.ConvertStrategy(ImageDB::StrategyNone);
    for (const QString &name : {quadrants, missing})
        AddRecord(params.imageDB, name, new Image(Solid(16, 16, RedTone)), Landscape);
    MatchData data;
    data.numTilesX = 3;
    data.numTilesY = 2;
    data.tileMatches[quadrants] = {{0, 0, Rotation::Unturned}, {2, 1, Rotation::DrawTurnedRight}};
    data.tileMatches[missing] = {{2, 0, Rotation::Unturned}};
    Image output(61, 41);
    QMutex mutex;
    int counter = 0;
    AssemblyAgent agent(&params, nullptr, &output, nullptr, &data, &mutex, &counter, 0, 1);
    agent.start();
    QVERIFY(agent.wait(30000));
    QCOMPARE(counter, 2);
    // Turned right, the picture's bottom-left (blue) quadrant comes to the
    // top left; no picture, or one that cannot be read, leaves black.
    const std::tuple<int, int, color3> expected[] = {{2, 2, RedTone},     {18, 2, GreenTone},  {2, 18, BlueTone},
                                                     {18, 18, WhiteTone}, {43, 23, BlueTone},  {58, 23, RedTone},
                                                     {43, 38, WhiteTone}, {58, 38, GreenTone}, {50, 10, {0, 0, 0}},
                                                     {30, 10, {0, 0, 0}}, {5, 30, {0, 0, 0}}};
    for (const auto &[x, y, colour] : expected)
        QVERIFY2(Near(Pixel(output, x, y), colour, 12), qPrintable(QString("(%1, %2)").arg(x).arg(y)));
}

QTEST_GUILESS_MAIN(TstAssemblyAgent)
#include "tst_assemblyagent.moc"
