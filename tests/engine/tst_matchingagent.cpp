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
    void oneAgentFollowsTileOrder();
    void batchesChooseAsSearchesOneByOne();
};

namespace {
// A grey source over a collection of greys, so every picture is a usable
// answer for every tile; greyNNN is the closer the higher NNN.
struct Greys {
    Greys(int pictures, int repeats, int grid)
    {
        params.repeats = repeats;
        for (int i = 0; i < pictures; ++i) {
            const QString name = QString("/collection/grey%1.jpg").arg(i, 3, 10, QChar('0'));
            params.imageDB.Add(name);
            const unsigned char grey = 100 + i;
            params.imageDB.SetKeyImage(name, new Image(Solid(16, 16, {grey, grey, grey})), Landscape);
        }
        data.Setup(source, grid, grid);
    }

    // Runs a group of n agents over the match data and waits for all of them.
    QList<int> Run(int n)
    {
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
    const Image source = Solid(200, 200, {128, 128, 128});
    MatchData data;
    QMutex mutex;
    int counter = 0;
};
}   // namespace

void TstMatchingAgent::repetitionLimitExact_data()
{
    QTest::addColumn<int>("agents");
    QTest::addColumn<int>("pictures");
    QTest::addColumn<int>("repeats");
    QTest::addColumn<int>("grid");

    QTest::newRow("one agent, every tile") << 1 << 4 << 9 << 6;
    QTest::newRow("four agents, every tile") << 4 << 4 << 9 << 6;
    QTest::newRow("more agents than tiles") << 40 << 4 << 9 << 6;
    QTest::newRow("one agent, once") << 1 << 5 << 1 << 10;
    QTest::newRow("four agents, once") << 4 << 5 << 1 << 10;
    QTest::newRow("four agents, twice") << 4 << 5 << 2 << 10;
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
        Greys greys(pictures, repeats, grid);
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
    Greys run(0, 10, 2);
    Image source = Solid(32, 32, {0, 0, 255});
    Paint(source, 0, 0, 8, 32, {255, 0, 0});
    Paint(source, 16, 0, 8, 32, {255, 0, 0});
    Image *portraitKey = new Image;
    portraitKey->Extract(source, 0, 0, 16, 16);
    run.params.imageDB.Add("/b-portrait.jpg");
    run.params.imageDB.SetKeyImage("/b-portrait.jpg", portraitKey, Portrait);
    run.params.imageDB.Add("/a-landscape.jpg");
    run.params.imageDB.SetKeyImage("/a-landscape.jpg", new Image(*portraitKey), Landscape);
    run.data.Setup(source, 2, 2);

    MatchingAgent agent(&run.params, &source, &run.data, &run.mutex, &run.counter, 0, 1);
    agent.start();
    QVERIFY(agent.wait(10000));
    QCOMPARE(run.data.tileMatches.keys(), QStringList{"/b-portrait.jpg"});
    QCOMPARE(run.counter, 4);
    for (const MatchData::TileMatch &m : run.data.tileMatches["/b-portrait.jpg"])
        QCOMPARE(m.rotation, Rotation::Unturned);
}

// The first tiles of the order get the pictures, the closest one first.
void TstMatchingAgent::oneAgentFollowsTileOrder()
{
    Greys run(3, 1, 4);
    QCOMPARE(run.Run(1), (QList<int>{6, 12, 18}));
    const MatchData::TileMatch best = run.data.tileMatches["/collection/grey002.jpg"].first();
    QCOMPARE(qMakePair(best.y, best.x), run.data.tileOrder[0]);
    QSet<QPair<int, int>> matched;
    for (const auto &list : run.data.tileMatches)
        for (const MatchData::TileMatch &m : list)
            matched.insert(qMakePair(m.y, m.x));
    QCOMPARE(matched, (QSet<QPair<int, int>>{run.data.tileOrder[0], run.data.tileOrder[1], run.data.tileOrder[2]}));
}

void TstMatchingAgent::batchesChooseAsSearchesOneByOne()
{
    // Noise keys of both orientations, fewer uses than tiles: the agent's
    // batched searches must choose what searching each tile alone, in the
    // matching order, chooses, down to the tiles left without a picture.
    ImagePosterParameters params;
    params.repeats = 2;
    std::mt19937 rng(11);
    for (int i = 0; i < 45; ++i) {
        auto *key = new Image(16, 16);
        for (size_t b = 0; b < key->ByteCount(); ++b)
            key->data[b] = static_cast<unsigned char>(rng());
        const QString name = QString("/collection/%1.jpg").arg(i);
        params.imageDB.Add(name);
        params.imageDB.SetKeyImage(name, key, i % 3 ? Landscape : Portrait);
    }
    const Image source = Noise(240, 200);
    MatchData data;
    data.Setup(source, 10, 10);
    QMutex mutex;
    int counter = 0;
    MatchingAgent agent(&params, &source, &data, &mutex, &counter, 0, 1);
    agent.start();
    QVERIFY(agent.wait(10000));
    QCOMPARE(counter, 90);

    params.imageDB.ResetUseCounts();
    int *widths, *lefts, *heights, *tops;
    data.TileSizesAndOffsets(source.width, 10, &widths, &lefts);
    data.TileSizesAndOffsets(source.height, 10, &heights, &tops);
    QMap<QString, QList<QList<int>>> expected;
    for (const QPair<int, int> &place : data.tileOrder) {
        Image tile;
        tile.Extract(source, lefts[place.second], tops[place.first], widths[place.second], heights[place.first]);
        tile.ResizeToKey();
        const ImageDB::MatchResult m = params.imageDB.BestMatch(tile, Landscape, params.repeats);
        if (!m.filename.isEmpty() && params.imageDB.UseMatch(m.filename, params.repeats))
            expected[m.filename].append({place.second, place.first, int(m.rotation)});
    }
    delete[] widths;
    delete[] lefts;
    delete[] heights;
    delete[] tops;
    QMap<QString, QList<QList<int>>> got;
    for (auto it = data.tileMatches.cbegin(); it != data.tileMatches.cend(); ++it)
        for (const MatchData::TileMatch &m : *it)
            got[it.key()].append({m.x, m.y, int(m.rotation)});
    QCOMPARE(got, expected);
}

QTEST_GUILESS_MAIN(TstMatchingAgent)
#include "tst_matchingagent.moc"
