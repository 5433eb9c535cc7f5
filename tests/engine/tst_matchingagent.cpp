#include "app/ImagePosterParameters.h"
#include "engine/MatchData.h"
#include "engine/MatchingAgent.h"
#include "imaging/Image.h"

#include <QSet>
#include <QTest>
#include <memory>
#include <vector>

class TstMatchingAgent : public QObject {
    Q_OBJECT
private slots:
    void everyTileMatched_data();
    void everyTileMatched();
    void repetitionLimitExact_data();
    void repetitionLimitExact();
    void squareTileSearchedAsPortrait();
    void oneAgentFollowsTileOrder();
    void stoppedAgentTakesNoTile();
    void debugRunEmitsFinished();
};

namespace {
Image *FlatKey(int r, int g, int b)
{
    Image *key = new Image(Image::COMPARISON_X_SIZE, Image::COMPARISON_Y_SIZE);
    for (size_t i = 0; i < key->ByteCount(); i += 3) {
        key->data[i] = r;
        key->data[i + 1] = g;
        key->data[i + 2] = b;
    }
    return key;
}

// A source whose tiles are all grey and a collection of greys, so every
// picture is a usable answer for every tile.
Image GreySource(int w, int h)
{
    Image image(w, h);
    std::fill(image.data, image.data + image.ByteCount(), 128);
    return image;
}

void AddGreys(ImageDB &db, int count)
{
    for (int i = 0; i < count; ++i) {
        const QString name = QString("/collection/grey%1.jpg").arg(i, 3, 10, QChar('0'));
        db.Add(name);
        db.SetKeyImage(name, FlatKey(100 + i, 100 + i, 100 + i), Landscape);
    }
}

// Runs a group of agents over the match data and waits for all of them.
QList<int> RunGroup(ImagePosterParameters &params, const Image &source, MatchData &data, int n)
{
    QMutex mutex;
    int counter = 0;
    QList<int> percents;
    QMutex percentsLock;
    std::vector<std::unique_ptr<MatchingAgent>> agents;
    for (int i = 0; i < n; ++i) {
        agents.emplace_back(new MatchingAgent(&params, &source, &data, &mutex, &counter, i, n));
        QObject::connect(agents.back().get(), &MatchingAgent::progress, agents.back().get(),
                         [&](int p) {
                             QMutexLocker lock(&percentsLock);
                             percents << p;
                         }, Qt::DirectConnection);
    }
    for (auto &agent : agents)
        agent->start();
    for (auto &agent : agents)
        agent->wait();
    return percents;
}

int MatchedTiles(const MatchData &data)
{
    int n = 0;
    for (const auto &list : data.tileMatches)
        n += list.size();
    return n;
}
}

void TstMatchingAgent::everyTileMatched_data()
{
    QTest::addColumn<int>("agents");
    QTest::newRow("one agent") << 1;
    QTest::newRow("four agents") << 4;
    QTest::newRow("more agents than tiles") << 40;
}

void TstMatchingAgent::everyTileMatched()
{
    QFETCH(int, agents);
    ImagePosterParameters params;
    params.repeats = 9;
    AddGreys(params.imageDB, 4);
    const Image source = GreySource(120, 90);
    MatchData data;
    data.Setup(source, 6, 6);

    const QList<int> percents = RunGroup(params, source, data, agents);
    QCOMPARE(MatchedTiles(data), 36);
    QCOMPARE(percents.size(), 36);
    QCOMPARE(*std::max_element(percents.begin(), percents.end()), 100);

    QSet<QPair<int, int>> tiles;
    for (const auto &list : data.tileMatches)
        for (const MatchData::TileMatch &m : list)
            tiles.insert(qMakePair(m.y, m.x));
    QCOMPARE(tiles.size(), 36);
}

void TstMatchingAgent::repetitionLimitExact_data()
{
    QTest::addColumn<int>("agents");
    QTest::addColumn<int>("repeats");
    QTest::newRow("one agent, once") << 1 << 1;
    QTest::newRow("four agents, once") << 4 << 1;
    QTest::newRow("four agents, twice") << 4 << 2;
    QTest::newRow("eight agents, three times") << 8 << 3;
}

// Fewer uses than tiles: every use is taken exactly once and no picture is
// used beyond the limit, however the agents race for the last uses.
void TstMatchingAgent::repetitionLimitExact()
{
    QFETCH(int, agents);
    QFETCH(int, repeats);
    for (int round = 0; round < 20; ++round) {
        ImagePosterParameters params;
        params.repeats = repeats;
        AddGreys(params.imageDB, 5);
        const Image source = GreySource(200, 200);
        MatchData data;
        data.Setup(source, 10, 10);

        const QList<int> percents = RunGroup(params, source, data, agents);
        QCOMPARE(MatchedTiles(data), 5 * repeats);
        QCOMPARE(data.tileMatches.size(), 5);
        for (const auto &list : data.tileMatches)
            QCOMPARE(list.size(), repeats);
        QCOMPARE(*std::max_element(percents.begin(), percents.end()), 5 * repeats);
    }
}

void TstMatchingAgent::squareTileSearchedAsPortrait()
{
    // Each tile: left half red, right half blue. The portrait record holds
    // that very key, the landscape one too, but the landscape one is only
    // compared turned, so a portrait search picks the portrait record.
    Image source(32, 32);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            unsigned char *p = source.data + 3 * (y * 32 + x);
            const bool left = (x % 16) < 8;
            p[0] = left ? 255 : 0;
            p[1] = 0;
            p[2] = left ? 0 : 255;
        }
    Image *portraitKey = new Image;
    portraitKey->Extract(source, 0, 0, 16, 16);
    Image *landscapeKey = new Image(*portraitKey);

    ImagePosterParameters params;
    params.repeats = 10;
    params.imageDB.Add("/b-portrait.jpg");
    params.imageDB.SetKeyImage("/b-portrait.jpg", portraitKey, Portrait);
    params.imageDB.Add("/a-landscape.jpg");
    params.imageDB.SetKeyImage("/a-landscape.jpg", landscapeKey, Landscape);

    MatchData data;
    data.Setup(source, 2, 2);
    RunGroup(params, source, data, 1);
    QCOMPARE(data.tileMatches.keys(), QStringList{"/b-portrait.jpg"});
    for (const MatchData::TileMatch &m : data.tileMatches["/b-portrait.jpg"])
        QCOMPARE(m.rotation, 0);
}

void TstMatchingAgent::oneAgentFollowsTileOrder()
{
    ImagePosterParameters params;
    params.repeats = 1;
    AddGreys(params.imageDB, 3);
    const Image source = GreySource(160, 160);
    MatchData data;
    data.Setup(source, 4, 4);

    const QList<int> percents = RunGroup(params, source, data, 1);
    QCOMPARE(percents, (QList<int>{6, 12, 18}));
    // The first tiles of the order get the pictures, the closest one first.
    const auto first = data.tileOrder[0];
    const MatchData::TileMatch best = data.tileMatches["/collection/grey002.jpg"].first();
    QCOMPARE(qMakePair(best.y, best.x), first);
    QSet<QPair<int, int>> matched;
    for (const auto &list : data.tileMatches)
        for (const MatchData::TileMatch &m : list)
            matched.insert(qMakePair(m.y, m.x));
    QCOMPARE(matched, (QSet<QPair<int, int>>{data.tileOrder[0], data.tileOrder[1], data.tileOrder[2]}));
}

void TstMatchingAgent::stoppedAgentTakesNoTile()
{
    ImagePosterParameters params;
    AddGreys(params.imageDB, 2);
    const Image source = GreySource(64, 64);
    MatchData data;
    data.Setup(source, 4, 4);
    QMutex mutex;
    int counter = 0;
    MatchingAgent agent(&params, &source, &data, &mutex, &counter, 0, 1);
    agent.stopRunning();
    agent.start();
    QVERIFY(agent.wait(10000));
    QVERIFY(data.tileMatches.isEmpty());
    QCOMPARE(counter, 0);
}

void TstMatchingAgent::debugRunEmitsFinished()
{
    ImagePosterParameters params;
    AddGreys(params.imageDB, 2);
    const Image source = GreySource(64, 64);
    MatchData data;
    data.Setup(source, 2, 2);
    QMutex mutex;
    int counter = 0;
    MatchingAgent agent(&params, &source, &data, &mutex, &counter, 0, 1);
    int finished = 0;
    connect(&agent, &QThread::finished, this, [&finished] { ++finished; });
    agent.debug_run();
    QCOMPARE(finished, 1);
    QCOMPARE(counter, 4);
}

QTEST_GUILESS_MAIN(TstMatchingAgent)
#include "tst_matchingagent.moc"
