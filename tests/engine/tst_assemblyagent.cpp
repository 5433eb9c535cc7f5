#include "app/ImagePosterParameters.h"
#include "engine/AssemblyAgent.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

using TileInfo = AssemblyAgent::TileInfo;
using TileMatch = MatchData::TileMatch;
Q_DECLARE_METATYPE(TileInfo)

class TstAssemblyAgent : public QObject {
    Q_OBJECT
private slots:
    void simplifyTileList();
    void largestTileSize_data();
    void largestTileSize();
    void createTiles();
    void createTilesOfUnreadablePicture();
    void assemble_data();
    void assemble();
    void stoppedAgentDrawsNothing();
};

namespace {
struct Rgb {
    int r, g, b;
};

const Rgb Red{230, 20, 20}, Green{20, 200, 40}, Blue{30, 30, 220}, White{250, 250, 250};

Image Quadrants(int w, int h)
{
    Image image(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb c = y < h / 2 ? (x < w / 2 ? Red : Green) : (x < w / 2 ? Blue : White);
            unsigned char *p = image.data + 3 * (size_t(y) * w + x);
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    return image;
}

Image *Flat(int w, int h, Rgb c)
{
    Image *image = new Image(w, h);
    for (size_t i = 0; i < image->ByteCount(); i += 3) {
        image->data[i] = c.r;
        image->data[i + 1] = c.g;
        image->data[i + 2] = c.b;
    }
    return image;
}

bool Near(const unsigned char *p, Rgb c, int tolerance = 12)
{
    return std::abs(p[0] - c.r) <= tolerance && std::abs(p[1] - c.g) <= tolerance && std::abs(p[2] - c.b) <= tolerance;
}

const unsigned char *Pixel(const Image &image, int x, int y)
{
    return image.data + 3 * (size_t(y) * image.width + x);
}

QString Describe(const unsigned char *p)
{
    return QString("(%1, %2, %3)").arg(p[0]).arg(p[1]).arg(p[2]);
}

bool NearRgb(QRgb pixel, Rgb c, int tolerance = 2)
{
    return std::abs(qRed(pixel) - c.r) <= tolerance && std::abs(qGreen(pixel) - c.g) <= tolerance
           && std::abs(qBlue(pixel) - c.b) <= tolerance;
}
}

void TstAssemblyAgent::simplifyTileList()
{
    const int widths[] = {10, 11, 10, 11};
    const int heights[] = {7, 7};
    AssemblyAgent agent(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 1);

    // Four tiles of two shapes and one rotation give two copies.
    QList<TileInfo> infos;
    agent.SimplifyTileList({{0, 0, 1}, {1, 0, 1}, {2, 1, 1}, {3, 1, 1}}, widths, heights, infos);
    QCOMPARE(infos, (QList<TileInfo>{{10, 7, 1}, {11, 7, 1}}));

    // The rotation makes a shape of its own; entries already listed stay once.
    agent.SimplifyTileList({{3, 0, 0}, {0, 1, 1}, {1, 1, 2}}, widths, heights, infos);
    QCOMPARE(infos, (QList<TileInfo>{{10, 7, 1}, {11, 7, 1}, {11, 7, 0}, {11, 7, 2}}));
}

void TstAssemblyAgent::largestTileSize_data()
{
    QTest::addColumn<QList<TileInfo>>("infos");
    QTest::addColumn<QSize>("expected");

    QTest::newRow("empty") << QList<TileInfo>{} << QSize(-1, -1);
    QTest::newRow("unrotated") << QList<TileInfo>{{30, 20, 0}} << QSize(30, 20);
    QTest::newRow("turned right") << QList<TileInfo>{{30, 20, 1}} << QSize(20, 30);
    QTest::newRow("turned left") << QList<TileInfo>{{30, 20, 2}} << QSize(20, 30);
    QTest::newRow("largest area wins") << QList<TileInfo>{{10, 10, 0}, {12, 11, 1}, {11, 11, 0}} << QSize(11, 12);
    QTest::newRow("first of equal areas") << QList<TileInfo>{{20, 10, 0}, {10, 20, 0}, {10, 20, 1}} << QSize(20, 10);
}

void TstAssemblyAgent::largestTileSize()
{
    QFETCH(QList<TileInfo>, infos);
    QFETCH(QSize, expected);
    AssemblyAgent agent(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 1);
    int w = 0;
    int h = 0;
    agent.LargestTileSize(infos, w, h);
    QCOMPARE(QSize(w, h), expected);
}

void TstAssemblyAgent::createTiles()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("quadrants.jpg");
    QVERIFY(WriteJPEG(file, Quadrants(200, 100), 100));
    ImagePosterParameters params;
    params.imageDB.ConvertStrategy(ImageDB::StrategyNone);
    params.imageDB.Add(file);
    AssemblyAgent agent(&params, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 1);

    QMap<QString, Image *> copies;
    agent.CreateTiles(file, {{40, 20, 0}, {20, 40, 1}, {20, 40, 2}, {10, 6, 0}}, copies);
    QCOMPARE(copies.keys(), (QStringList{"10,6,0", "20,40,1", "20,40,2", "40,20,0"}));

    struct Expect {
        QString key;
        QSize size;
        Rgb topLeft, bottomRight;
    };
    // Turned right, the picture's bottom-left quadrant comes to the top left;
    // turned left, its top-right one.
    const Expect expected[] = {
        {"40,20,0", {40, 20}, Red, White},
        {"20,40,1", {20, 40}, Blue, Green},
        {"20,40,2", {20, 40}, Green, Blue},
        {"10,6,0", {10, 6}, Red, White},
    };
    for (const Expect &e : expected) {
        const Image *copy = copies.value(e.key);
        QCOMPARE(QSize(copy->width, copy->height), e.size);
        QVERIFY2(Near(Pixel(*copy, 1, 1), e.topLeft), qPrintable(e.key + Describe(Pixel(*copy, 1, 1))));
        const unsigned char *last = Pixel(*copy, copy->width - 2, copy->height - 2);
        QVERIFY2(Near(last, e.bottomRight), qPrintable(e.key + Describe(last)));
    }
    qDeleteAll(copies);
}

void TstAssemblyAgent::createTilesOfUnreadablePicture()
{
    ImagePosterParameters params;
    params.imageDB.Add("/nowhere/missing.jpg");
    AssemblyAgent agent(&params, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 1);
    QMap<QString, Image *> copies;
    agent.CreateTiles("/nowhere/missing.jpg", {{10, 10, 0}}, copies);
    QVERIFY(copies.isEmpty());
    agent.CreateTiles("/nowhere/missing.jpg", {}, copies);
    QVERIFY(copies.isEmpty());
}

void TstAssemblyAgent::assemble_data()
{
    QTest::addColumn<int>("agents");
    QTest::addColumn<int>("blend");
    QTest::newRow("one agent, no blend") << 1 << 0;
    QTest::newRow("three agents, no blend") << 3 << 0;
    QTest::newRow("one agent, full blend") << 1 << 100;
    QTest::newRow("three agents, full blend") << 3 << 100;
}

// A 3 by 2 grid over a 61 by 41 output: the quadrant picture fills two
// tiles (one turned), the green one a third, a missing file a fourth, and
// two tiles have no picture.
void TstAssemblyAgent::assemble()
{
    QFETCH(int, agents);
    QFETCH(int, blend);

    QTemporaryDir dir;
    const QString quadrants = dir.filePath("a-quadrants.jpg");
    const QString green = dir.filePath("b-green.jpg");
    const QString missing = dir.filePath("c-missing.jpg");
    QVERIFY(WriteJPEG(quadrants, Quadrants(120, 80), 100));
    std::unique_ptr<Image> greenPicture(Flat(50, 50, Green));
    QVERIFY(WriteJPEG(green, *greenPicture, 100));

    ImagePosterParameters params;
    params.blend = blend;
    params.imageDB.ConvertStrategy(ImageDB::StrategyNone);
    const Rgb keyColours[] = {Red, Green, Blue};
    const QString names[] = {quadrants, green, missing};
    for (int i = 0; i < 3; ++i) {
        params.imageDB.Add(names[i]);
        params.imageDB.SetKeyImage(names[i], Flat(16, 16, keyColours[i]), Landscape);
    }

    MatchData data;
    data.numTilesX = 3;
    data.numTilesY = 2;
    data.tileMatches[quadrants] = {{0, 0, 0}, {2, 1, 1}};
    data.tileMatches[green] = {{1, 0, 0}};
    data.tileMatches[missing] = {{2, 0, 0}};

    // Source colours per tile for the blend.
    const Rgb tileColours[2][3] = {{{10, 20, 30}, {40, 50, 60}, {70, 80, 90}},
                                   {{100, 110, 120}, {130, 140, 150}, {160, 170, 180}}};
    Image colours(3, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            unsigned char *p = colours.data + 3 * (y * 3 + x);
            p[0] = tileColours[y][x].r;
            p[1] = tileColours[y][x].g;
            p[2] = tileColours[y][x].b;
        }

    Image output(61, 41);
    QImage preview(48, 32, QImage::Format_RGB32);
    preview.fill(Qt::black);
    QMutex mutex;
    int counter = 0;
    QList<int> percents;
    std::vector<std::unique_ptr<AssemblyAgent>> group;
    for (int i = 0; i < agents; ++i) {
        group.emplace_back(new AssemblyAgent(&params, &preview, &output, blend > 0 ? &colours : nullptr, &data,
                                             &mutex, &counter, i, agents));
        connect(group.back().get(), &AssemblyAgent::progress, group.back().get(),
                [&percents](int p) { percents << p; }, Qt::DirectConnection);
    }
    for (auto &agent : group)
        agent->start();
    for (auto &agent : group)
        QVERIFY(agent->wait(30000));

    std::sort(percents.begin(), percents.end());
    QCOMPARE(percents, (QList<int>{33, 66, 100}));

    // Columns 21, 20, 20 wide from x 0, 21, 41; rows 21 and 20 high from y 0, 21.
    struct Probe {
        int x, y;
        Rgb plain;
        int column, row;
    };
    const Probe drawn[] = {
        {2, 2, Red, 0, 0}, {18, 2, Green, 0, 0}, {2, 18, Blue, 0, 0}, {18, 18, White, 0, 0},
        {30, 10, Green, 1, 0},
        // Turned right: the picture's bottom-left (blue) quadrant at the top left.
        {43, 23, Blue, 2, 1}, {58, 23, Red, 2, 1}, {43, 38, White, 2, 1}, {58, 38, Green, 2, 1},
    };
    for (const Probe &p : drawn) {
        const Rgb expected = blend == 100 ? tileColours[p.row][p.column] : p.plain;
        QVERIFY2(Near(Pixel(output, p.x, p.y), expected, blend == 100 ? 0 : 12),
                 qPrintable(QString("(%1, %2) ").arg(p.x).arg(p.y) + Describe(Pixel(output, p.x, p.y))));
    }
    // No picture, or one that cannot be read: black.
    for (const QPoint p : {QPoint(50, 10), QPoint(5, 30), QPoint(30, 30), QPoint(60, 0), QPoint(40, 40)})
        QVERIFY(Near(Pixel(output, p.x(), p.y()), Rgb{0, 0, 0}, 0));

    // Preview: one 16 by 16 cell per tile holding the key image; the missing
    // file still has its key, the unmatched tiles stay black.
    const auto cell = [&](int column, int row) { return preview.pixel(column * 16 + 8, row * 16 + 8); };
    const auto shown = [&](Rgb key, int column, int row) {
        if (blend != 100)
            return key;
        return tileColours[row][column];
    };
    QVERIFY(NearRgb(cell(0, 0), shown(Red, 0, 0)));
    QVERIFY(NearRgb(cell(2, 1), shown(Red, 2, 1)));
    QVERIFY(NearRgb(cell(1, 0), shown(Green, 1, 0)));
    QVERIFY(NearRgb(cell(2, 0), shown(Blue, 2, 0)));
    QVERIFY(NearRgb(cell(0, 1), Rgb{0, 0, 0}, 0));
    QVERIFY(NearRgb(cell(1, 1), Rgb{0, 0, 0}, 0));
}

void TstAssemblyAgent::stoppedAgentDrawsNothing()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("green.jpg");
    std::unique_ptr<Image> picture(Flat(20, 20, Green));
    QVERIFY(WriteJPEG(file, *picture, 100));
    ImagePosterParameters params;
    params.blend = 0;
    params.imageDB.Add(file);
    params.imageDB.SetKeyImage(file, Flat(16, 16, Green), Landscape);
    MatchData data;
    data.numTilesX = 1;
    data.numTilesY = 1;
    data.tileMatches[file] = {{0, 0, 0}};
    Image output(10, 10);
    QMutex mutex;
    int counter = 0;
    AssemblyAgent agent(&params, nullptr, &output, nullptr, &data, &mutex, &counter, 0, 1);
    agent.stopRunning();
    agent.start();
    QVERIFY(agent.wait(10000));
    QCOMPARE(counter, 0);
    QVERIFY(Near(Pixel(output, 5, 5), Rgb{0, 0, 0}, 0));
}

QTEST_GUILESS_MAIN(TstAssemblyAgent)
#include "tst_assemblyagent.moc"
