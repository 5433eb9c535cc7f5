#include "imagedb/KeyIndex.h"
#include "imaging/Cpu.h"

#include <QMap>
#include <QSet>
#include <QtTest>
#include <atomic>
#include <memory>
#include <random>
#include <vector>

// The packed scan against the search written out plainly: records in filename
// order, used-up ones passed over, the three metrics by index arithmetic,
// rotation ties to 2, strictly smaller scores win.
class TstKeyIndex : public QObject {
    Q_OBJECT
private slots:
    void matchesPlainSearch_data();
    void matchesPlainSearch();
    void cleanup() { Cpu::Limit(Cpu::All); }
};

namespace {

constexpr int Side = KeyIndex::KeySide;
constexpr int Bytes = KeyIndex::KeyBytes;

struct Record {
    std::vector<unsigned char> key;
    bool portrait = false;
    std::atomic<int> useCount{0};
};

using Records = QMap<QString, std::shared_ptr<Record>>;

// The sum of squared differences with b turned by index arithmetic: 1 left, 2 right.
unsigned PlainDifference(const unsigned char *a, const unsigned char *b, int turn)
{
    unsigned sum = 0;
    for (int y = 0; y < Side; ++y)
        for (int x = 0; x < Side; ++x) {
            const int bx = turn == 0 ? x : (turn == 1 ? y : Side - 1 - y);
            const int by = turn == 0 ? y : (turn == 1 ? Side - 1 - x : x);
            for (int c = 0; c < 3; ++c) {
                const int d = a[3 * (y * Side + x) + c] - b[3 * (by * Side + bx) + c];
                sum += unsigned(d * d);
            }
        }
    return sum;
}

// The best record as "filename/rotation"; empty when none has a use left.
QString PlainSearch(const Records &records, const unsigned char *tile, bool portrait, int maxUses,
                    const QSet<QString> &usedUp = {})
{
    QString best;
    unsigned bestScore = 0;
    for (auto it = records.constBegin(); it != records.constEnd(); ++it) {
        const Record &r = **it;
        if (r.useCount.load() >= maxUses || usedUp.contains(it.key()))
            continue;
        const bool turned = r.portrait != portrait;
        const unsigned left = PlainDifference(tile, r.key.data(), turned ? 1 : 0);
        const unsigned right = turned ? PlainDifference(tile, r.key.data(), 2) : left;
        const int rotation = turned ? (left < right ? 1 : 2) : 0;
        const unsigned score = std::min(left, right);
        if (best.isNull() || score < bestScore) {
            best = QString("%1/%2").arg(it.key()).arg(rotation);
            bestScore = score;
        }
    }
    return best;
}

enum class Kind { Noise, Smooth, NearCopies, FewLevels };

// NearCopies makes many keys that differ from a few base pictures (and their
// turned forms) by a pixel or two, so scores crowd around the bounds the scan
// stops at; FewLevels makes exact ties common.
void MakeKey(std::mt19937 &rng, Kind kind, const std::vector<std::vector<unsigned char>> &bases, unsigned char *p)
{
    std::uniform_int_distribution<int> byte(0, 255);
    const int base = byte(rng), gx = byte(rng) % 13 - 6, gy = byte(rng) % 13 - 6;
    if (kind == Kind::NearCopies) {
        const std::vector<unsigned char> &b = bases[size_t(base) % bases.size()];
        std::copy(b.begin(), b.end(), p);
        for (int n = gx % 3; n > 0; --n)
            p[byte(rng) * 3 % Bytes] = static_cast<unsigned char>(byte(rng));
        return;
    }
    for (int i = 0; i < Bytes; ++i) {
        const int smooth = base + gx * (i / 3 % Side) + gy * (i / 3 / Side) + byte(rng) % 9;
        p[i] = static_cast<unsigned char>(
            kind == Kind::Smooth ? qBound(0, smooth, 255) : (kind == Kind::Noise ? byte(rng) : byte(rng) % 2 * 255));
    }
}

void Turn(const unsigned char *src, unsigned char *dst)
{
    for (int y = 0; y < Side; ++y)
        for (int x = 0; x < Side; ++x)
            for (int c = 0; c < 3; ++c)
                dst[3 * ((Side - 1 - x) * Side + y) + c] = src[3 * (y * Side + x) + c];
}

// The features that make the scan run each of its kernels, from the plain
// one to the widest, as far as the processor has them; Cpu::Limit picks one.
QList<unsigned> Kernels()
{
    const unsigned levels[] = {0, Cpu::Sse2, Cpu::Sse2 | Cpu::Avx2, Cpu::Sse2 | Cpu::Avx2 | Cpu::Avx512, Cpu::All};
    QList<unsigned> kernels;
    for (unsigned features : levels)
        if (Cpu::Has(features))
            kernels << features;
    return kernels;
}

QString Name(const KeyIndex &index, const KeyIndex::Match &m)
{
    return QString("%1/%2").arg(index.Filename(m.order)).arg(int(m.rotation));
}

}   // namespace

void TstKeyIndex::matchesPlainSearch_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("keys");
    QTest::addColumn<int>("maxUses");
    QTest::addColumn<unsigned>("seed");
    QTest::newRow("noise") << int(Kind::Noise) << 700 << 5 << 1u;
    QTest::newRow("smooth") << int(Kind::Smooth) << 700 << 5 << 2u;
    QTest::newRow("near copies, one use") << int(Kind::NearCopies) << 500 << 1 << 3u;
    QTest::newRow("two levels, ties") << int(Kind::FewLevels) << 400 << 3 << 5u;
    QTest::newRow("fewer uses than tiles") << int(Kind::Smooth) << 40 << 2 << 6u;
    QTest::newRow("no use allowed") << int(Kind::Smooth) << 50 << 0 << 7u;
    QTest::newRow("one key") << int(Kind::Noise) << 1 << 1000 << 8u;
    QTest::newRow("no key") << int(Kind::Noise) << 0 << 5 << 9u;
}

void TstKeyIndex::matchesPlainSearch()
{
    QFETCH(int, kind);
    QFETCH(int, keys);
    QFETCH(int, maxUses);
    QFETCH(unsigned, seed);
    std::mt19937 rng(seed);
    std::vector<std::vector<unsigned char>> bases(6, std::vector<unsigned char>(Bytes));
    for (size_t b = 0; b < bases.size(); ++b) {
        MakeKey(rng, Kind::Smooth, bases, bases[b].data());
        if (b % 2)
            Turn(bases[b - 1].data(), bases[b].data());
    }

    Records records;
    std::bernoulli_distribution coin(0.5);
    while (records.size() < keys) {
        auto r = std::make_shared<Record>();
        r->key.resize(Bytes);
        MakeKey(rng, Kind(kind), bases, r->key.data());
        r->portrait = coin(rng);
        records.insert(QString::number(rng(), 36), r);
    }
    KeyIndex index;
    for (auto it = records.constBegin(); it != records.constEnd(); ++it)
        QVERIFY(index.Add(it.key(), (*it)->key.data(), (*it)->portrait, &(*it)->useCount));
    QVERIFY(index.Finish());
    QCOMPARE(index.Size(), keys);

    // Tiles come from the same source as the keys; each search is followed
    // by one use of its answer, as matching does, so used-up keys appear.
    const QList<unsigned> kernels = Kernels();
    std::vector<unsigned char> tile(Bytes);
    for (int t = 0; t < 300; ++t) {
        MakeKey(rng, Kind(kind), bases, tile.data());
        const bool portrait = coin(rng);
        const QString expected = PlainSearch(records, tile.data(), portrait, maxUses);
        for (unsigned kernel : kernels) {
            Cpu::Limit(kernel);
            const KeyIndex::Match m = index.Find(tile.data(), portrait, maxUses);
            QCOMPARE(m.order < 0 ? QString() : Name(index, m), expected);
        }
        if (!expected.isNull())
            records[expected.section('/', 0, 0)]->useCount.fetch_add(1);
    }

    // Shortlists for batches of tiles of both orientations: the plain
    // search's answer, then its answers with the ones before used up.
    constexpr int BatchSize = 7;
    constexpr int Candidates = 4;
    std::vector<std::vector<unsigned char>> batch(BatchSize, std::vector<unsigned char>(Bytes));
    const unsigned char *pointers[BatchSize];
    bool portraits[BatchSize];
    KeyIndex::Shortlist lists[BatchSize];
    for (int b = 0; b < 6; ++b) {
        for (int k = 0; k < BatchSize; ++k) {
            MakeKey(rng, Kind(kind), bases, batch[size_t(k)].data());
            pointers[k] = batch[size_t(k)].data();
            portraits[k] = coin(rng);
        }
        for (unsigned kernel : kernels) {
            Cpu::Limit(kernel);
            QVERIFY(index.FindShortlists(pointers, portraits, BatchSize, maxUses, Candidates, lists));
            for (int k = 0; k < BatchSize; ++k) {
                QSet<QString> usedUp;
                QStringList expected, got;
                for (int c = 0; c < Candidates; ++c) {
                    const QString a = PlainSearch(records, pointers[k], portraits[k], maxUses, usedUp);
                    if (a.isNull())
                        break;
                    usedUp.insert(a.section('/', 0, 0));   // names hold no slash
                    expected << a;
                }
                for (int c = 0; c < lists[k].count; ++c)
                    got << Name(index, lists[k].matches[c]);
                QCOMPARE(got, expected);
            }
            // Every picture's score, as the shortlists score their entries.
            std::vector<KeyIndex::Match> scores(size_t(BatchSize) * size_t(keys));
            QVERIFY(index.ScoreAll(pointers, portraits, BatchSize, scores.data()));
            for (int k = 0; k < BatchSize; ++k)
                for (int c = 0; c < lists[k].count; ++c) {
                    const KeyIndex::Match &m = scores[size_t(k * keys + lists[k].matches[c].order)];
                    QCOMPARE(Name(index, m) + QString::number(m.score),
                             Name(index, lists[k].matches[c]) + QString::number(lists[k].matches[c].score));
                }
            // Weighted by the mean colours, shortlists rank every usable
            // picture by its score plus its mean term, ties by filename.
            constexpr int Weight = 128;
            QVERIFY(index.FindShortlists(pointers, portraits, BatchSize, maxUses, Candidates, lists, nullptr, Weight));
            for (int k = 0; k < BatchSize; ++k) {
                std::vector<std::pair<uint32_t, int>> ranked;
                for (int order = 0; order < keys; ++order) {
                    const Record &r = *records[index.Filename(order)];
                    if (r.useCount < maxUses)
                        ranked.push_back({scores[size_t(k * keys + order)].score
                                              + KeyIndex::MeanTerm(Weight, KeyIndex::SumChannels(pointers[k]),
                                                                   KeyIndex::SumChannels(r.key.data())),
                                          order});
                }
                std::sort(ranked.begin(), ranked.end());
                QCOMPARE(lists[k].count, std::min<int>(Candidates, int(ranked.size())));
                for (int c = 0; c < lists[k].count; ++c)
                    QCOMPARE(std::make_pair(lists[k].matches[c].score, lists[k].matches[c].order), ranked[size_t(c)]);
            }
        }
    }
}

QTEST_GUILESS_MAIN(TstKeyIndex)
#include "tst_keyindex.moc"
