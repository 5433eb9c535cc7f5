#include "engine/Arrangement.h"

#include <QTest>
#include <algorithm>
#include <random>
#include <vector>

class TstArrangement : public QObject {
    Q_OBJECT
private slots:
    void againstBruteForce_data();
    void againstBruteForce();
    void stopsWhileListsGrow();
};

namespace {
using Costs = std::vector<std::vector<int64_t>>;   // [tile][picture]

struct Best {
    int filled = -1;
    int64_t sum = 0;
};

// Every arrangement, tile by tile: the most tiles filled, then the least sum.
void Search(const Costs &costs, int columns, int uses, int spacing, std::vector<int> &chosen, std::vector<int> &counts,
            int tile, int filled, int64_t sum, Best &best)
{
    // Costs are not negative: a branch that cannot fill more tiles, or as
    // many for less, is left.
    const int most = filled + int(costs.size()) - tile;
    if (most < best.filled || (most == best.filled && sum >= best.sum))
        return;
    if (tile == int(costs.size())) {
        best = Best{filled, sum};
        return;
    }
    for (int p = 0; p < int(counts.size()); ++p) {
        bool near = false;
        for (int t = 0; t < tile; ++t)
            near = near
                   || (chosen[size_t(t)] == p && std::abs(t % columns - tile % columns) <= spacing
                       && std::abs(t / columns - tile / columns) <= spacing);
        if (near || counts[size_t(p)] == uses)
            continue;
        chosen[size_t(tile)] = p;
        ++counts[size_t(p)];
        Search(costs, columns, uses, spacing, chosen, counts, tile + 1, filled + 1,
               sum + costs[size_t(tile)][size_t(p)], best);
        --counts[size_t(p)];
    }
    chosen[size_t(tile)] = -1;
    Search(costs, columns, uses, spacing, chosen, counts, tile + 1, filled, sum, best);
}
}   // namespace

void TstArrangement::againstBruteForce_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("pictures");
    QTest::addColumn<int>("uses");
    QTest::addColumn<int>("spacing");
    QTest::addColumn<int>("listed");   // candidates given at first; the rest on request
    QTest::addColumn<int>("seed");
    for (int seed = 0; seed < 6; ++seed) {
        QTest::addRow("3x2, 3 pictures once or twice, seed %d", seed) << 3 << 2 << 3 << 1 + seed % 2 << 0 << 3 << seed;
        QTest::addRow("3x3, 5 pictures twice, short lists, seed %d", seed)
            << 3 << 3 << 5 << 2 << 0 << 1 + seed % 2 << seed;
        QTest::addRow("4x2, 2 pictures thrice: tiles stay empty, seed %d", seed) << 4 << 2 << 2 << 3 << 0 << 2 << seed;
        QTest::addRow("3x3, spacing 1, seed %d", seed) << 3 << 3 << 5 << 3 << 1 << 5 << seed;
        QTest::addRow("4x2, spacing 2, short lists, seed %d", seed) << 4 << 2 << 5 << 4 << 2 << 2 << seed;
    }
}

// The sum is the least possible without spacing, and at least the bound
// with it; both rules hold on every result, and a picture found only by
// asking for more candidates counts like any other.
void TstArrangement::againstBruteForce()
{
    QFETCH(int, columns);
    QFETCH(int, rows);
    QFETCH(int, pictures);
    QFETCH(int, uses);
    QFETCH(int, spacing);
    QFETCH(int, listed);
    QFETCH(int, seed);
    const int tiles = columns * rows;
    std::mt19937 random(uint32_t(seed * 131 + tiles * 17 + listed + spacing));
    Costs costs(static_cast<size_t>(tiles), std::vector<int64_t>(static_cast<size_t>(pictures)));
    // Each tile's candidates, cheapest first.
    std::vector<std::vector<Arrangement::Candidate>> sorted(static_cast<size_t>(tiles));
    for (int t = 0; t < tiles; ++t) {
        for (int p = 0; p < pictures; ++p) {
            // Costs this small on grids this small make every price step exact.
            costs[size_t(t)][size_t(p)] = int64_t(random() % 12);
            sorted[size_t(t)].push_back({p, Rotation(p % 3), uint32_t(costs[size_t(t)][size_t(p)])});
        }
        std::stable_sort(sorted[size_t(t)].begin(), sorted[size_t(t)].end(),
                         [](const auto &a, const auto &b) { return a.cost < b.cost; });
    }

    Arrangement arrangement(columns, rows, pictures, uses, spacing);
    const auto bound = [&](int t, int n) { return n < pictures ? sorted[size_t(t)][size_t(n - 1)].cost : -1; };
    for (int t = 0; t < tiles; ++t)
        arrangement.SetCandidates(t, sorted[size_t(t)].data(), listed, bound(t, listed));
    const auto more = [&](int t, const std::vector<int32_t> &excluded, Arrangement::Candidate *list, int max,
                          int64_t &unlisted) {
        int n = 0;
        int seen = 0;
        for (const Arrangement::Candidate &c : sorted[size_t(t)]) {
            if (n == max)
                break;
            ++seen;
            if (!std::binary_search(excluded.begin(), excluded.end(), c.picture))
                list[n++] = c;
        }
        unlisted = bound(t, std::max(seen, 1));
        return n;
    };
    const std::atomic<bool> keepRunning{true};
    QVERIFY(arrangement.Solve(keepRunning, more));

    std::vector<int> chosen(static_cast<size_t>(tiles));
    std::vector<int> counts(size_t(pictures), 0);
    Best best;
    Search(costs, columns, uses, spacing, chosen, counts, 0, 0, 0, best);

    int64_t sum = 0;
    int filled = 0;
    std::fill(counts.begin(), counts.end(), 0);
    for (int t = 0; t < tiles; ++t) {
        const int p = arrangement.Picture(t);
        if (p < 0)
            continue;
        ++filled;
        sum += costs[size_t(t)][size_t(p)];
        QVERIFY(++counts[size_t(p)] <= uses);
        QCOMPARE(arrangement.ChosenRotation(t), Rotation(p % 3));
        for (int u = 0; u < t; ++u)
            QVERIFY(arrangement.Picture(u) != p || std::abs(u % columns - t % columns) > spacing
                    || std::abs(u / columns - t / columns) > spacing);
    }
    QCOMPARE(arrangement.Sum(), sum);
    QCOMPARE(filled, arrangement.Filled());
    if (spacing == 0) {
        QCOMPARE(filled, best.filled);
        QCOMPARE(sum, best.sum);
        // Complete lists prove the sum; short ones leave a gap.
        QVERIFY(arrangement.Bound() <= sum);
        if (listed == pictures)
            QCOMPARE(arrangement.Bound(), sum);
    } else if (filled == best.filled) {
        // Where spacing leaves tiles empty the bound, which fills them, may
        // lie above the sum.
        QVERIFY(sum >= best.sum);
        QVERIFY(arrangement.Bound() <= best.sum || best.filled < std::min(tiles, uses * pictures));
    }
}

// A stop during a long wave of lengthenings ends the solving within a
// batch of searches, not after the wave.
void TstArrangement::stopsWhileListsGrow()
{
    constexpr int Tiles = 3000;
    Arrangement arrangement(Tiles, 1, 2, Tiles / 2, 0);
    const Arrangement::Candidate first{0, Rotation::Unturned, 5};
    for (int t = 0; t < Tiles; ++t)
        arrangement.SetCandidates(t, &first, 1, 0);
    std::atomic<bool> keepRunning{true};
    int searches = 0;
    const auto more = [&](int, const std::vector<int32_t> &, Arrangement::Candidate *list, int, int64_t &unlisted) {
        keepRunning.store(false);
        ++searches;
        list[0] = Arrangement::Candidate{1, Rotation::Unturned, 5};
        unlisted = Arrangement::NoBound;
        return 1;
    };
    QVERIFY(!arrangement.Solve(keepRunning, more));
    QVERIFY2(searches <= 1024, qPrintable(QString::number(searches)));
}

QTEST_GUILESS_MAIN(TstArrangement)
#include "tst_arrangement.moc"
