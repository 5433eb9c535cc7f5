// Best-match search: ImageDB::BestMatch one tile at a time, BestMatches eight
// tiles a pass as the matching threads use it, and the packed scan with each
// instruction set, against a plain scalar scan of the same algorithm, over
// 10,000 generated key images and the 3,600 tiles of the default 60 by 60
// grid, with the default of 5 uses a picture. Every tile's answer must be the
// same in all of them; the program fails otherwise.

#include "imagedb/ImageDB.h"
#include "imagedb/KeyIndex.h"
#include "imaging/Cpu.h"

#include <QMap>
#include <QString>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <iterator>
#include <random>
#include <vector>

namespace {

constexpr int Side = 16;
constexpr int KeyBytes = Side * Side * 3;
constexpr int NumKeys = 10000;
constexpr int NumTiles = 60 * 60;
constexpr int Repeats = 5;
constexpr int Batch = 8;
constexpr int Candidates = 3;

// This thread's processor time: other programs on a busy machine then slow
// neither side of a ratio.
qint64 CpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

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
    Rotation rotation = Rotation::Unturned;
    bool operator==(const Answer &o) const { return filename == o.filename && rotation == o.rotation; }
};

Answer ReferenceBestMatch(const ImageDB &db, const unsigned char *tile, bool portrait, int maxUses)
{
    Answer best;
    unsigned bestScore = 0;
    for (auto it = db.images.constBegin(); it != db.images.constEnd(); ++it) {
        const ImageDB::ImageInformation &r = *it;
        if (r.skip || r.useCount.load(std::memory_order_relaxed) >= maxUses || !r.keyImage || r.keyImage->width != Side
            || r.keyImage->height != Side)
            continue;
        const unsigned char *key = r.keyImage->data;
        unsigned score;
        Rotation rotation = Rotation::Unturned;
        if ((r.orientation == Portrait) == portrait) {
            score = unsigned(ReferenceSame(tile, key));
        } else {
            const unsigned l = unsigned(ReferenceLeft(tile, key));
            const unsigned rr = unsigned(ReferenceRight(tile, key));
            if (l < rr) {
                score = l;
                rotation = Rotation::DrawTurnedRight;
            } else {
                score = rr;
                rotation = Rotation::DrawTurnedLeft;
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
    ImageDB db;
    for (int i = 0; i < NumKeys; ++i) {
        const QString name = QString::asprintf("/collection/%08x.jpg", unsigned(rng()));
        auto *key = new Image(Side, Side);
        MakePicture(rng, key->data, smooth);
        db.Add(name);
        db.SetKeyImage(name, key, portraitKey(rng) ? Portrait : Landscape);
        if (skipped(rng))
            db.SkipImage(name);
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
    db.ResetUseCounts();   // builds the database's own index
    const qint64 buildNs = CpuNs() - start;
    KeyIndex index;   // the same, to try each instruction set
    for (auto it = db.images.constBegin(); it != db.images.constEnd(); ++it)
        if (!it->skip)
            index.Add(it.key(), it->keyImage->data, it->orientation == Portrait, &it->useCount);
    index.Finish();

    // The features that make the scan run each instruction set (Cpu::Limit).
    const std::pair<unsigned, const char *> kernels[] = {{Cpu::Sse2, "SSE2"},
                                                         {Cpu::Sse2 | Cpu::Avx2, "AVX2"},
                                                         {Cpu::Sse2 | Cpu::Avx2 | Cpu::Avx512, "AVX-512"},
                                                         {Cpu::All, "AVX-512 VNNI"}};
    constexpr int NumKernels = int(std::size(kernels));

    // Matching as the matching threads do it, one tile after the other:
    // search, then take one use of the answer. Each way of searching makes
    // its own pass, so none finds the caches filled by another.
    std::vector<Answer> expected(NumTiles);
    auto pass = [&](const std::function<Answer(const unsigned char *, bool)> &search, bool reference, int *differ) {
        db.ResetUseCounts();
        qint64 ns = 0;
        for (int t = 0; t < NumTiles; ++t) {
            const qint64 begin = CpuNs();
            const Answer answer = search(&tiles[size_t(t) * KeyBytes], tilePortrait[size_t(t)]);
            ns += CpuNs() - begin;
            if (reference)
                expected[size_t(t)] = answer;
            else
                *differ += !(answer == expected[size_t(t)]);
            if (!answer.filename.isNull())
                db.UseMatch(answer.filename, Repeats);
        }
        return ns;
    };
    const qint64 referenceNs =
        pass([&](const unsigned char *tile, bool portrait) { return ReferenceBestMatch(db, tile, portrait, Repeats); },
             true, nullptr);
    Image tileImage(Side, Side);
    int dbDiffer = 0;
    const qint64 dbNs = pass(
        [&](const unsigned char *tile, bool portrait) {
            std::memcpy(tileImage.data, tile, KeyBytes);
            const ImageDB::MatchResult m = db.BestMatch(tileImage, portrait ? Portrait : Landscape, Repeats);
            return Answer{m.filename, m.rotation};
        },
        false, &dbDiffer);
    qint64 ns[NumKernels] = {};
    int differ[NumKernels] = {};
    for (int k = 0; k < NumKernels; ++k) {
        if (!Cpu::Has(kernels[k].first))
            continue;
        Cpu::Limit(kernels[k].first);
        ns[k] = pass(
            [&](const unsigned char *tile, bool portrait) {
                const KeyIndex::Match m = index.Find(tile, portrait, Repeats);
                return m.order < 0 ? Answer() : Answer{index.Filename(m.order), m.rotation};
            },
            false, &differ[k]);
        Cpu::Limit(Cpu::All);
    }

    // Eight tiles a pass with three results each, as the matching threads
    // search: each tile takes the first result that still has a use left,
    // and searches alone only when none has.
    int batchDiffer = 0;
    db.ResetUseCounts();
    qint64 batchNs = 0;
    for (int first = 0; first < NumTiles; first += Batch) {
        const int n = std::min(Batch, NumTiles - first);
        Image batchTiles[Batch];
        const Image *pointers[Batch];
        Orientation orientations[Batch];
        for (int k = 0; k < n; ++k) {
            batchTiles[k] = Image(Side, Side);
            std::memcpy(batchTiles[k].data, &tiles[size_t(first + k) * KeyBytes], KeyBytes);
            pointers[k] = &batchTiles[k];
            orientations[k] = tilePortrait[size_t(first + k)] ? Portrait : Landscape;
        }
        qint64 begin = CpuNs();
        const QList<QList<ImageDB::MatchResult>> lists = db.BestMatches(pointers, orientations, n, Repeats, Candidates);
        batchNs += CpuNs() - begin;
        for (int k = 0; k < n; ++k) {
            Answer answer;
            for (const ImageDB::MatchResult &m : lists[k]) {
                if (db.UseMatch(m.filename, Repeats)) {
                    answer = Answer{m.filename, m.rotation};
                    break;
                }
            }
            if (answer.filename.isNull()) {
                begin = CpuNs();
                const ImageDB::MatchResult m = db.BestMatch(batchTiles[k], orientations[k], Repeats);
                batchNs += CpuNs() - begin;
                if (!m.filename.isNull() && db.UseMatch(m.filename, Repeats))
                    answer = Answer{m.filename, m.rotation};
            }
            batchDiffer += !(answer == expected[size_t(first + k)]);
        }
    }

    std::printf("%s keys (%d keys, %d tiles, %d uses):\n", name, NumKeys, NumTiles, Repeats);
    std::printf("  %-20s %9.1f ms\n", "scalar reference", referenceNs / 1e6);
    std::printf("  %-20s %9.1f ms\n", "building the index", buildNs / 1e6);
    const auto report = [referenceNs](const char *what, qint64 fastNs, int tilesDiffering) {
        std::printf("  %-20s %9.1f ms  %6.1fx faster than the reference  %s\n", what, fastNs / 1e6,
                    double(referenceNs) / double(fastNs),
                    tilesDiffering ? qPrintable(QString("%1 TILES DIFFER").arg(tilesDiffering)) : "identical");
        return tilesDiffering == 0;
    };
    bool ok = report("ImageDB::BestMatch", dbNs, dbDiffer);
    ok = report("ImageDB::BestMatches", batchNs, batchDiffer) && ok;
    for (int k = 0; k < NumKernels; ++k)
        if (Cpu::Has(kernels[k].first))
            ok = report(kernels[k].second, ns[k], differ[k]) && ok;
    return ok;
}

}   // namespace

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
