// Best-match search: the packed, vectorized scan against a plain scalar scan
// of the same algorithm, over 10,000 generated key images and the 3,600
// tiles of the default 60 by 60 grid, with the default of 5 uses a picture.
// Every tile's answer must be the same in both; the program fails otherwise.

#include "imagedb/KeyIndex.h"

#include <QMap>
#include <QString>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <random>
#include <vector>

namespace {

constexpr int Side = 16;
constexpr int KeyBytes = Side * Side * 3;
constexpr int NumKeys = 10000;
constexpr int NumTiles = 60 * 60;
constexpr int Repeats = 5;

// This thread's processor time: other programs on a busy machine then slow
// neither side of a ratio.
qint64 CpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Record {
    std::vector<unsigned char> key;
    bool portrait = false;
    bool skip = false;
    std::atomic<int> useCount{0};
};

// The reference: the three difference metrics as written out for images of
// any size, one byte at a time with index arithmetic for the turned ones.
int ReferenceSame(const unsigned char *a, const unsigned char *b)
{
    int sum = 0;
    for (int i = 0; i < KeyBytes; ++i) {
        const int d = a[i] - b[i];
        sum += d * d;
    }
    return sum;
}

int SquaredDifference(const unsigned char *p, const unsigned char *q)
{
    const int r = p[0] - q[0];
    const int g = p[1] - q[1];
    const int b = p[2] - q[2];
    return r * r + g * g + b * b;
}

int ReferenceLeft(const unsigned char *a, const unsigned char *b)
{
    int sum = 0;
    for (int y = 0; y < Side; ++y)
        for (int x = 0; x < Side; ++x)
            sum += SquaredDifference(a + 3 * (y * Side + x), b + 3 * ((Side - 1 - x) * Side + y));
    return sum;
}

int ReferenceRight(const unsigned char *a, const unsigned char *b)
{
    int sum = 0;
    for (int y = 0; y < Side; ++y)
        for (int x = 0; x < Side; ++x)
            sum += SquaredDifference(a + 3 * (y * Side + x), b + 3 * (x * Side + (Side - 1 - y)));
    return sum;
}

struct Answer {
    QString filename;
    int rotation = 0;
    bool operator==(const Answer &o) const { return filename == o.filename && rotation == o.rotation; }
};

Answer ReferenceBestMatch(const QMap<QString, Record *> &records, const unsigned char *tile,
                          bool portrait, int maxUses)
{
    Answer best;
    unsigned bestScore = 0;
    for (auto it = records.constBegin(); it != records.constEnd(); ++it) {
        const Record &r = **it;
        if (r.skip || r.useCount.load(std::memory_order_relaxed) >= maxUses)
            continue;
        unsigned score;
        int rotation = 0;
        if (r.portrait == portrait) {
            score = unsigned(ReferenceSame(tile, r.key.data()));
        } else {
            const unsigned l = unsigned(ReferenceLeft(tile, r.key.data()));
            const unsigned rr = unsigned(ReferenceRight(tile, r.key.data()));
            if (l < rr) {
                score = l;
                rotation = 1;
            } else {
                score = rr;
                rotation = 2;
            }
        }
        if (best.filename.isNull() || score < bestScore) {
            best.filename = it.key();
            best.rotation = rotation;
            bestScore = score;
        }
    }
    return best;
}

// Noise keys are the hardest case for early exits (all scores lie close
// together); smooth keys, a colour plus gradients plus a little grain, are
// closer to reduced photographs.
void MakePicture(std::mt19937 &rng, unsigned char *p, bool smooth)
{
    std::uniform_int_distribution<int> byte(0, 255);
    if (!smooth) {
        for (int i = 0; i < KeyBytes; ++i)
            p[i] = static_cast<unsigned char>(byte(rng));
        return;
    }
    std::uniform_real_distribution<float> slope(-6.0f, 6.0f);
    std::uniform_int_distribution<int> grain(-12, 12);
    for (int c = 0; c < 3; ++c) {
        const float base = float(byte(rng));
        const float gx = slope(rng);
        const float gy = slope(rng);
        for (int y = 0; y < Side; ++y)
            for (int x = 0; x < Side; ++x) {
                const int v = int(base + gx * (x - 7.5f) + gy * (y - 7.5f)) + grain(rng);
                p[3 * (y * Side + x) + c] = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
    }
}

bool RunCase(const char *name, bool smooth)
{
    std::mt19937 rng(smooth ? 7 : 3);
    std::bernoulli_distribution portraitKey(0.4);
    std::bernoulli_distribution skipped(0.02);
    QMap<QString, Record *> records;
    std::vector<unsigned char> key(KeyBytes);
    for (int i = 0; i < NumKeys; ++i) {
        auto *r = new Record;
        r->key.resize(KeyBytes);
        MakePicture(rng, r->key.data(), smooth);
        r->portrait = portraitKey(rng);
        r->skip = skipped(rng);
        records.insert(QString::asprintf("/collection/%08x.jpg", unsigned(rng())), r);
    }
    // Tiles of a landscape picture cut 60 by 60 are landscape; a few square
    // grids give portrait ones, so both orientations are searched.
    std::vector<unsigned char> tiles(size_t(NumTiles) * KeyBytes);
    std::vector<bool> tilePortrait(NumTiles);
    for (int t = 0; t < NumTiles; ++t) {
        MakePicture(rng, &tiles[size_t(t) * KeyBytes], smooth);
        tilePortrait[size_t(t)] = t % 5 == 0;
    }

    qint64 start = CpuNs();
    KeyIndex index;
    for (auto it = records.constBegin(); it != records.constEnd(); ++it)
        if (!(*it)->skip)
            index.Add(it.key(), (*it)->key.data(), (*it)->portrait, &(*it)->useCount);
    const qint64 buildNs = CpuNs() - start;

    const std::pair<KeyIndex::Kernel, const char *> kernels[] = {
        {KeyIndex::Kernel::Sse2, "SSE2"}, {KeyIndex::Kernel::Avx2, "AVX2"},
        {KeyIndex::Kernel::Avx512, "AVX-512"}, {KeyIndex::Kernel::Auto, "chosen at run time"}};
    constexpr int NumKernels = int(std::size(kernels));
    qint64 referenceNs = 0;
    qint64 ns[NumKernels] = {};
    int differ[NumKernels] = {};

    // Matching as the matching threads do it, one tile after the other:
    // search, then take one use of the answer. Every search of a tile runs
    // back to back, so a busy machine slows all of them alike.
    for (int t = 0; t < NumTiles; ++t) {
        const unsigned char *tile = &tiles[size_t(t) * KeyBytes];
        const bool portrait = tilePortrait[size_t(t)];
        start = CpuNs();
        const Answer expected = ReferenceBestMatch(records, tile, portrait, Repeats);
        referenceNs += CpuNs() - start;
        for (int k = 0; k < NumKernels; ++k) {
            if (!KeyIndex::Supported(kernels[k].first))
                continue;
            start = CpuNs();
            const KeyIndex::Match m = index.Find(tile, portrait, Repeats, kernels[k].first);
            ns[k] += CpuNs() - start;
            const Answer got = m.order < 0 ? Answer() : Answer{index.Filename(m.order), m.rotation};
            differ[k] += !(got == expected);
        }
        if (!expected.filename.isNull())
            records[expected.filename]->useCount.fetch_add(1);
    }

    bool ok = true;
    std::printf("%s keys (%d keys, %d tiles, %d uses):\n", name, NumKeys, NumTiles, Repeats);
    std::printf("  %-20s %9.1f ms\n", "scalar reference", referenceNs / 1e6);
    std::printf("  %-20s %9.1f ms\n", "building the index", buildNs / 1e6);
    for (int k = 0; k < NumKernels; ++k) {
        if (!KeyIndex::Supported(kernels[k].first))
            continue;
        ok = ok && differ[k] == 0;
        std::printf("  %-20s %9.1f ms  %6.1fx faster than the reference  %s\n", kernels[k].second,
                    ns[k] / 1e6, double(referenceNs) / double(ns[k]),
                    differ[k] ? qPrintable(QString("%1 TILES DIFFER").arg(differ[k])) : "identical");
    }
    for (Record *r : records)
        delete r;
    return ok;
}

} // namespace

int main()
{
    const bool noise = RunCase("noise", false);
    const bool smooth = RunCase("smooth", true);
    if (!noise || !smooth) {
        std::printf("FAILED: the fast search gave different answers\n");
        return 1;
    }
    return 0;
}
