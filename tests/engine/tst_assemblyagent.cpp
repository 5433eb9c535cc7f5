#include "EngineTestSupport.h"
#include "engine/ImagePosterParameters.h"
#include "engine/AssemblyAgent.h"
#include "imaging/JPEG.h"

#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

using namespace EngineTest;
using TileInfo = AssemblyAgent::TileInfo;
constexpr Rotation Unturned = Rotation::Unturned, Right = Rotation::DrawTurnedRight, Left = Rotation::DrawTurnedLeft;

class TstAssemblyAgent : public QObject {
    Q_OBJECT
private slots:
    void simplifyTileList();
    void createTiles();
    void assemble_data();
    void assemble();
};

namespace {
const color3 Red{230, 20, 20}, Green{20, 200, 40}, Blue{30, 30, 220}, White{250, 250, 250}, Black{0, 0, 0};

// Red top left, green top right, blue bottom left, white bottom right.
Image Quadrants(int w, int h)
{
    Image image = Flat(w, h, White);
    Fill(image, 0, 0, w / 2, h / 2, Red);
    Fill(image, w / 2, 0, w - w / 2, h / 2, Green);
    Fill(image, 0, h / 2, w / 2, h - h / 2, Blue);
    return image;
}
}   // namespace

void TstAssemblyAgent::simplifyTileList()
{
    const int widths[] = {10, 11, 10, 11};
    const int heights[] = {7, 7};
    AssemblyAgent agent(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 1);

    // Four tiles of two shapes and one rotation give two copies.
    QList<TileInfo> infos;
    agent.SimplifyTileList({{0, 0, Right}, {1, 0, Right}, {2, 1, Right}, {3, 1, Right}}, widths, heights, infos);
    QCOMPARE(infos, (QList<TileInfo>{{10, 7, Right}, {11, 7, Right}}));

    // The rotation makes a shape of its own; entries already listed stay once.
    agent.SimplifyTileList({{3, 0, Unturned}, {0, 1, Right}, {1, 1, Left}}, widths, heights, infos);
    QCOMPARE(infos, (QList<TileInfo>{{10, 7, Right}, {11, 7, Right}, {11, 7, Unturned}, {11, 7, Left}}));
}

// Turned right, the picture's bottom-left quadrant comes to the top left;
// turned left, its top-right one. A picture that cannot be read gives none.
void TstAssemblyAgent::createTiles()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("quadrants.jpg");
    QVERIFY(WriteJPEG(file, Quadrants(200, 100), 100));
    ImagePosterParameters params;
    params.imageDB.ConvertStrategy(ImageDB::StrategyNone);
    params.imageDB.Add(file);
    params.imageDB.Add("/nowhere/missing.jpg");
    AssemblyAgent agent(&params, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 1);

    QMap<QString, Image *> copies;
    agent.CreateTiles("/nowhere/missing.jpg", {{10, 10, Unturned}}, copies);
    QVERIFY(copies.isEmpty());
    agent.CreateTiles(file, {{40, 20, Unturned}, {20, 40, Right}, {20, 40, Left}, {10, 6, Unturned}}, copies);
    QCOMPARE(copies.keys(), (QStringList{"10,6,0", "20,40,1", "20,40,2", "40,20,0"}));
    const struct {
        QString key;
        QSize size;
        color3 topLeft, bottomRight;
    } expected[] = {
        {"40,20,0", {40, 20}, Red, White},
        {"20,40,1", {20, 40}, Blue, Green},
        {"20,40,2", {20, 40}, Green, Blue},
        {"10,6,0", {10, 6}, Red, White},
    };
    for (const auto &e : expected) {
        const Image *copy = copies.value(e.key);
        QCOMPARE(QSize(copy->width, copy->height), e.size);
        QVERIFY2(Near(Pixel(*copy, 1, 1), e.topLeft, 12), qPrintable(e.key + Describe(Pixel(*copy, 1, 1))));
        const unsigned char *last = Pixel(*copy, copy->width - 2, copy->height - 2);
        QVERIFY2(Near(last, e.bottomRight, 12), qPrintable(e.key + Describe(last)));
    }
    qDeleteAll(copies);
}

void TstAssemblyAgent::assemble_data()
{
    QTest::addColumn<int>("agents");
    QTest::addColumn<int>("blend");
    QTest::addColumn<bool>("stopped");
    QTest::newRow("one agent, no blend") << 1 << 0 << false;
    QTest::newRow("three agents, no blend") << 3 << 0 << false;
    QTest::newRow("one agent, full blend") << 1 << 100 << false;
    QTest::newRow("three agents, full blend") << 3 << 100 << false;
    QTest::newRow("stopped before the start") << 3 << 0 << true;
}

// A 3 by 2 grid over a 61 by 41 output: the quadrant picture fills two
// tiles (one turned), the green one a third, a missing file a fourth, and
// two tiles have no picture.
void TstAssemblyAgent::assemble()
{
    QFETCH(int, agents);
    QFETCH(int, blend);
    QFETCH(bool, stopped);

    QTemporaryDir dir;
    const QString names[] = {dir.filePath("a-quadrants.jpg"), dir.filePath("b-green.jpg"),
                             dir.filePath("c-missing.jpg")};
    QVERIFY(WriteJPEG(names[0], Quadrants(120, 80), 100));
    QVERIFY(WriteJPEG(names[1], Flat(50, 50, Green), 100));
    ImagePosterParameters params;
    params.blend = blend;
    params.imageDB.ConvertStrategy(ImageDB::StrategyNone);
    const color3 keyColours[] = {Red, Green, Blue};
    for (int i = 0; i < 3; ++i) {
        params.imageDB.Add(names[i]);
        params.imageDB.SetKeyImage(names[i], new Image(Flat(16, 16, keyColours[i])), Landscape);
    }
    MatchData data;
    data.numTilesX = 3;
    data.numTilesY = 2;
    data.tileMatches[names[0]] = {{0, 0, Unturned}, {2, 1, Right}};
    data.tileMatches[names[1]] = {{1, 0, Unturned}};
    data.tileMatches[names[2]] = {{2, 0, Unturned}};

    // Source colours per tile for the blend.
    Image colours(3, 2);
    for (int i = 0; i < 6; ++i)
        Fill(colours, i % 3, i / 3, 1, 1,
             color3{(unsigned char)(10 + 30 * i), (unsigned char)(20 + 30 * i), (unsigned char)(30 + 30 * i)});
    const auto colourOf = [&](int column, int row) {
        const unsigned char *p = Pixel(colours, column, row);
        return color3{p[0], p[1], p[2]};
    };

    Image output(61, 41);
    QMutex mutex;
    int counter = 0;
    QList<int> percents;
    std::vector<std::unique_ptr<AssemblyAgent>> group;
    for (int i = 0; i < agents; ++i) {
        group.emplace_back(new AssemblyAgent(&params, nullptr, &output, blend > 0 ? &colours : nullptr, &data, &mutex,
                                             &counter, i, agents));
        // Sent with the lock held, so the list needs no lock of its own.
        connect(
            group.back().get(), &AssemblyAgent::progress, group.back().get(), [&percents](int p) { percents << p; },
            Qt::DirectConnection);
        if (stopped)
            group.back()->stopRunning();
    }
    for (auto &agent : group)
        agent->start();
    for (auto &agent : group)
        QVERIFY(agent->wait(30000));
    if (stopped) {
        QCOMPARE(counter, 0);
        QVERIFY(std::all_of(output.data, output.data + output.ByteCount(), [](unsigned char b) { return b == 0; }));
        return;
    }
    std::sort(percents.begin(), percents.end());
    QCOMPARE(percents, (QList<int>{33, 66, 100}));

    // Columns 21, 20, 20 wide from x 0, 21, 41; rows 21 and 20 high from y 0, 21.
    const struct {
        int x, y;
        color3 plain;
        int column, row;
    } drawn[] = {
        {2, 2, Red, 0, 0},
        {18, 2, Green, 0, 0},
        {2, 18, Blue, 0, 0},
        {18, 18, White, 0, 0},
        {30, 10, Green, 1, 0},
        // Turned right: the picture's bottom-left (blue) quadrant at the top left.
        {43, 23, Blue, 2, 1},
        {58, 23, Red, 2, 1},
        {43, 38, White, 2, 1},
        {58, 38, Green, 2, 1},
    };
    for (const auto &p : drawn) {
        const color3 expected = blend == 100 ? colourOf(p.column, p.row) : p.plain;
        QVERIFY2(Near(Pixel(output, p.x, p.y), expected, blend == 100 ? 0 : 12),
                 qPrintable(QString("(%1, %2) ").arg(p.x).arg(p.y) + Describe(Pixel(output, p.x, p.y))));
    }
    // No picture, or one that cannot be read: black.
    for (const QPoint p : {QPoint(50, 10), QPoint(5, 30), QPoint(30, 30), QPoint(60, 0), QPoint(40, 40)})
        QVERIFY(Near(Pixel(output, p.x(), p.y()), Black, 0));
}

QTEST_GUILESS_MAIN(TstAssemblyAgent)
#include "tst_assemblyagent.moc"
