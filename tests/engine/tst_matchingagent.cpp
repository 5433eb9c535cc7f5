#include "TestKit.h"
#include "engine/ImagePosterParameters.h"
#include "engine/MatchData.h"
#include "engine/MatchingAgent.h"

#include <QSet>
#include <QTest>
#include <memory>
#include <random>
#include <vector>

class TstMatchingAgent : public QObject {
    Q_OBJECT
private slots:
    void repetitionLimitExact_data();
    void repetitionLimitExact();
    void squareTileSearchedAsPortrait();
    void batchesChooseAsSearchesOneByOne_data();
    void batchesChooseAsSearchesOneByOne();
    void rulesHoldInBothArrangements_data();
    void rulesHoldInBothArrangements();
};

namespace {
// One matching run: the run record, the source and its grid of tiles.
struct Matching {
    Matching(const Image &picture, int grid, int repeats, int spacing = 0, bool optimal = false)
        : source(picture), grid(grid)
    {
        params.repeats = repeats;
        params.spacing = spacing;
        params.optimalArrangement = optimal;
    }

    // Sets the grid up as the generator does and runs a group of n agents to
    // their end; returns the percents they reported.
    QList<int> Run(int n)
    {
        data.Setup(source, grid, grid);
        params.imageDB.ResetUseCounts();
        MatchingAgent::Prepare(params, data);
        QList<int> percents;
        QMutex percentsLock;
        std::vector<std::unique_ptr<MatchingAgent>> agents;
        for (int i = 0; i < n; ++i) {
            agents.emplace_back(new MatchingAgent(&params, &source, &data, &mutex, &counter, i, n));
            QObject::connect(
                agents.back().get(), &MatchingAgent::progress, agents.back().get(),
                [&](int p) {
                    QMutexLocker lock(&percentsLock);
                    percents << p;
                },
                Qt::DirectConnection);
        }
        for (auto &agent : agents)
            agent->start();
        for (auto &agent : agents)
            agent->wait();
        return percents;
    }

    ImagePosterParameters params;
    const Image source;
    const int grid;
    MatchData data;
    QMutex mutex;
    int counter = 0;
};

// Noise keys of both orientations.
void AddNoiseKeys(ImagePosterParameters &params, int count)
{
    for (int i = 0; i < count; ++i)
        AddRecord(params.imageDB, QString("/collection/%1.jpg").arg(i), new Image(Noise(16, 16, 11 + i)),
                  i % 3 ? Landscape : Portrait);
}

// The matches as (column, row, rotation) lists by picture.
QMap<QString, QList<QList<int>>> Matches(const MatchData &data)
{
    QMap<QString, QList<QList<int>>> got;
    for (auto it = data.tileMatches.cbegin(); it != data.tileMatches.cend(); ++it)
        for (const MatchData::TileMatch &m : *it)
            got[it.key()].append({m.x, m.y, int(m.rotation)});
    for (QList<QList<int>> &list : got)
        std::sort(list.begin(), list.end());
    return got;
}
}   // namespace

void TstMatchingAgent::repetitionLimitExact_data()
{
    QTest::addColumn<int>("agents");
    QTest::addColumn<int>("pictures");
    QTest::addColumn<int>("repeats");
    QTest::addColumn<int>("grid");

    QTest::newRow("four agents, every tile") << 4 << 4 << 9 << 6;
    QTest::newRow("more agents than tiles") << 40 << 4 << 9 << 6;
    QTest::newRow("four agents, once") << 4 << 5 << 1 << 10;
    QTest::newRow("eight agents, three times") << 8 << 5 << 3 << 10;
}

// Each tile is matched at most once and no picture beyond the limit; where
// the uses run out every one of them is taken, however the agents race for
// the last ones.
void TstMatchingAgent::repetitionLimitExact()
{
    QFETCH(int, agents);
    QFETCH(int, pictures);
    QFETCH(int, repeats);
    QFETCH(int, grid);
    const int tiles = grid * grid;
    const int matched = std::min(tiles, pictures * repeats);
    for (int round = 0; round < 20; ++round) {
        // A grey source over greys: every picture is a usable answer for
        // every tile, however the agents race for the last uses.
        Matching greys(Solid(200, 200, {128, 128, 128}), grid, repeats);
        for (int i = 0; i < pictures; ++i) {
            const unsigned char grey = 100 + i;
            AddRecord(greys.params.imageDB, QString("/collection/grey%1.jpg").arg(i),
                      new Image(Solid(16, 16, {grey, grey, grey})), Landscape);
        }
        const QList<int> percents = greys.Run(agents);
        QSet<QPair<int, int>> taken;
        qsizetype uses = 0;
        for (const auto &list : greys.data.tileMatches) {
            QVERIFY(list.size() <= repeats);
            QVERIFY(matched == tiles || list.size() == repeats);
            uses += list.size();
            for (const MatchData::TileMatch &m : list)
                taken.insert(qMakePair(m.y, m.x));
        }
        QCOMPARE(uses, matched);
        QCOMPARE(taken.size(), matched);
        QCOMPARE(greys.counter, matched);
        QCOMPARE(*std::max_element(percents.begin(), percents.end()), matched * 100 / tiles);
    }
}

// Each tile: left half red, right half blue. The portrait record holds that
// very key, the landscape one too, but the landscape one is only compared
// turned, so a portrait search picks the portrait record.
void TstMatchingAgent::squareTileSearchedAsPortrait()
{
    Image source = Solid(32, 32, {0, 0, 255});
    Paint(source, 0, 0, 8, 32, {255, 0, 0});
    Paint(source, 16, 0, 8, 32, {255, 0, 0});
    Matching run(source, 2, 10);
    Image *portraitKey = new Image;
    portraitKey->Extract(source, 0, 0, 16, 16);
    AddRecord(run.params.imageDB, "/b-portrait.jpg", portraitKey, Portrait);
    AddRecord(run.params.imageDB, "/a-landscape.jpg", new Image(*portraitKey), Landscape);
    run.Run(1);
    QCOMPARE(run.data.tileMatches.keys(), QStringList{"/b-portrait.jpg"});
    QCOMPARE(run.counter, 4);
    for (const MatchData::TileMatch &m : run.data.tileMatches["/b-portrait.jpg"])
        QCOMPARE(m.rotation, Rotation::Unturned);
}

void TstMatchingAgent::batchesChooseAsSearchesOneByOne_data()
{
    QTest::addColumn<int>("spacing");
    QTest::newRow("no spacing: the choices as they always were") << 0;
    QTest::newRow("spacing 2") << 2;
}

void TstMatchingAgent::batchesChooseAsSearchesOneByOne()
{
    // Fewer uses than tiles: the agent's batched searches must choose what
    // searching each tile alone, in the matching order, for the best picture
    // not used nearby chooses, down to the tiles left without a picture.
    QFETCH(int, spacing);
    Matching run(Noise(240, 200), 10, 2, spacing);
    AddNoiseKeys(run.params, 45);
    run.Run(1);
    QCOMPARE(run.counter, 90);
    ImagePosterParameters &params = run.params;
    const Image &source = run.source;
    const MatchData &data = run.data;

    params.imageDB.ResetUseCounts();
    const auto [widths, lefts] = TileCuts(data, source.width, 10);
    const auto [heights, tops] = TileCuts(data, source.height, 10);
    QMap<QString, QList<QList<int>>> expected;
    QString placed[10][10];
    for (const QPair<int, int> &place : data.tileOrder) {
        Image tile;
        tile.Extract(source, lefts[place.second], tops[place.first], widths[place.second], heights[place.first]);
        tile.ResizeToKey();
        QSet<QString> nearby;
        for (int y = std::max(0, place.first - spacing); y <= std::min(9, place.first + spacing); ++y)
            for (int x = std::max(0, place.second - spacing); x <= std::min(9, place.second + spacing); ++x)
                if (spacing > 0 && !placed[y][x].isEmpty())
                    nearby.insert(placed[y][x]);
        const ImageDB::MatchResult m = params.imageDB.BestMatch(tile, Landscape, params.repeats, nearby);
        if (!m.filename.isEmpty() && params.imageDB.UseMatch(m.filename, params.repeats)) {
            expected[m.filename].append({place.second, place.first, int(m.rotation)});
            placed[place.first][place.second] = m.filename;
        }
    }
    for (QList<QList<int>> &list : expected)
        std::sort(list.begin(), list.end());
    QCOMPARE(Matches(data), expected);
}

void TstMatchingAgent::rulesHoldInBothArrangements_data()
{
    QTest::addColumn<bool>("optimal");
    QTest::addColumn<int>("repeats");
    QTest::addColumn<int>("spacing");
    QTest::newRow("ordered, spacing 3") << false << 99 << 3;
    QTest::newRow("optimal, 4 uses") << true << 4 << 0;
    QTest::newRow("optimal, spacing 2") << true << 99 << 2;
    QTest::newRow("optimal, one use: tiles stay empty") << true << 1 << 0;
}

// With one agent and with two, no picture serves more tiles than allowed,
// none is used twice within the spacing, and the optimal arrangement is
// the same mosaic either way.
void TstMatchingAgent::rulesHoldInBothArrangements()
{
    QFETCH(bool, optimal);
    QFETCH(int, repeats);
    QFETCH(int, spacing);
    QMap<QString, QList<QList<int>>> runs[2];
    for (int agents = 1; agents <= 2; ++agents) {
        Matching run(Noise(300, 240), 12, repeats, spacing, optimal);
        AddNoiseKeys(run.params, 60);
        run.Run(agents);
        runs[agents - 1] = Matches(run.data);
        QSet<QPair<int, int>> tiles;
        for (const QList<QList<int>> &list : std::as_const(runs[agents - 1])) {
            QVERIFY(list.size() <= repeats);
            for (qsizetype a = 0; a < list.size(); ++a) {
                QVERIFY(!tiles.contains({list[a][0], list[a][1]}));
                tiles.insert({list[a][0], list[a][1]});
                for (qsizetype b = 0; b < a; ++b)
                    QVERIFY(std::abs(list[a][0] - list[b][0]) > spacing || std::abs(list[a][1] - list[b][1]) > spacing);
            }
        }
        QCOMPARE(tiles.size(), qMin(144, 60 * repeats));
    }
    if (optimal)
        QCOMPARE(runs[0], runs[1]);
}

QTEST_GUILESS_MAIN(TstMatchingAgent)
#include "tst_matchingagent.moc"
