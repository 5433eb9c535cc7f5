#include "imagedb/KeyIndex.h"

#include "imaging/Cpu.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <numeric>

#ifdef KVP_X86
#include <immintrin.h>
#endif

namespace {

// Scores are sums over 768 squared byte differences, at most 49,939,200, so
// NoScore + 1 still fits and stays above every real score.
constexpr uint32_t NoScore = 0xFFFFFFFEu;

struct Best {
    uint32_t score;
    int32_t order;
    Rotation rotation;
};
constexpr Best EmptyBest{NoScore, INT32_MAX, Rotation::Unturned};

// The tile in the three arrangements the scan compares, with block sums; and
// the same arrangements less 128, as signed bytes, with the sum of the
// squares of the tile's bytes, for the scores taken as dot products.
struct Tile {
    alignas(64) unsigned char same[KeyIndex::KeyBytes];
    alignas(64) unsigned char left[KeyIndex::KeyBytes];
    alignas(64) unsigned char right[KeyIndex::KeyBytes];
    alignas(64) int16_t sameSums[KeyIndex::SumCount];
    alignas(64) int16_t leftSums[KeyIndex::SumCount];
    alignas(64) int16_t rightSums[KeyIndex::SumCount];
    alignas(64) int8_t signedSame[KeyIndex::KeyBytes];
    alignas(64) int8_t signedLeft[KeyIndex::KeyBytes];
    alignas(64) int8_t signedRight[KeyIndex::KeyBytes];
    double moments[KeyIndex::MomentCount];
    uint32_t squares;
};

// A key wins over an entry with a score below this: strictly below the
// entry's score, or equal to it when its filename comes first. Groups are
// scanned one after the other, so this comparison, not the scan order, keeps
// filename order's ties.
inline uint32_t Limit(const Best &best, int32_t order)
{
    return best.score + (order < best.order ? 1u : 0u);
}

// One tile's search: the best entries so far, best first, as many as asked
// for; the places not yet taken hold the empty Best, which every key beats.
// Only those are set, as a short search needs few of the places.
struct Search {
    Tile tile;
    Best list[KeyIndex::MaxCandidates];
    int length = 1;
    KeyIndex::Exclusion excluded{};
    KeyIndex::Match *all = nullptr;   // by order, when every score is wanted
    int64_t meanWeight = 0;

    // A key's bound from its moments (see MomentBounded), its mean term
    // included, and the mean term. The channel sums over 16 and their
    // differences are exact, and so is the squared distance of the means
    // (a 256th of the sums'), so the term is the same as KeyIndex::MeanTerm's.
    struct Prescore {
        double bound;
        uint32_t extra;
    };
    Prescore Bound(const double *moments) const
    {
        const double spread = moments[0] - tile.moments[0];
        double means = 0;
        for (int c = 1; c < KeyIndex::MomentCount; ++c)
            means += (moments[c] - tile.moments[c]) * (moments[c] - tile.moments[c]);
        const auto extra = uint32_t(std::floor(double(meanWeight) * means / 256.0));
        return Prescore{spread * spread + means + double(extra), extra};
    }

    bool Excluded(int32_t order) const
    {
        return std::binary_search(excluded.orders, excluded.orders + excluded.count, order);
    }

    uint32_t Limit(int32_t order) const { return ::Limit(list[length - 1], order); }
    // The limit for a key of any order.
    double LooseLimit() const { return double(list[length - 1].score) + 1.0; }
    void Take(const Best &entry)
    {
        int place = length - 1;
        while (place > 0 && entry.score < ::Limit(list[place - 1], entry.order)) {
            list[place] = list[place - 1];
            --place;
        }
        list[place] = entry;
    }
};

// By Cauchy-Schwarz the squared differences of the 16 values of a block add
// up to at least the square of their sum's difference divided by 16, so a key
// whose squared block-sum differences reach 16 times limit scores at least
// limit and cannot win.
inline bool Bounded(uint32_t blockBound, uint32_t limit)
{
    return uint64_t(blockBound) >= uint64_t(limit) * 16;
}

// Every score is at least the squared distance of the two keys' moments:
// the channels' means and the deviations from them are orthogonal parts of
// each key, and the deviations differ at least by their lengths' difference.
// Scores are whole, so a bound within half a unit below the limit already
// reaches it, which leaves room for rounding.
inline bool MomentBounded(double bound, double limit)
{
    return bound >= limit - 0.5;
}

// How far, in spread and in the given direction (1 up, -1 down, both times
// the spread), a key must lie from every search's tile to enter none of
// them: the difference of the spreads alone bounds a key's score. The
// searches' limits only fall, so a reach found earlier still holds.
double Reach(Search *const *searches, int count, double direction, double reach)
{
    for (int s = 0; s < count; ++s)
        reach = std::max(reach, direction * searches[s]->tile.moments[0]
                                    + std::sqrt(std::max(0.0, searches[s]->LooseLimit() - 0.5)));
    return reach;
}

// The smaller of the two turned scores, if it is below limit, with its code;
// a tie goes to the right turn.
inline bool TakeSmallerTurn(uint32_t left, uint32_t right, uint32_t limit, uint32_t &score, Rotation &rotation)
{
    score = left < right ? left : right;
    rotation = left < right ? Rotation::DrawTurnedRight : Rotation::DrawTurnedLeft;
    return score < limit;
}

namespace portable {
#define KVP_TARGET
constexpr int Width = 16;
using Acc = uint32_t;
using Chunk = const unsigned char *;
inline Acc Zero()
{
    return 0;
}
inline Chunk Load(const unsigned char *p)
{
    return p;
}
inline Acc AddSquares(Acc acc, Chunk a, Chunk b)
{
    for (int i = 0; i < Width; ++i) {
        const int d = int(a[i]) - int(b[i]);
        acc += uint32_t(d * d);
    }
    return acc;
}
inline Acc AddSquares16(Acc acc, Chunk a, Chunk b)
{
    for (int i = 0; i < Width; i += 2) {
        int16_t x;
        int16_t y;
        std::memcpy(&x, a + i, 2);
        std::memcpy(&y, b + i, 2);
        const int d = int(x) - int(y);
        acc += uint32_t(d * d);
    }
    return acc;
}
inline uint32_t Total(Acc acc)
{
    return acc;
}
#include "imagedb/KeyIndexSquares.inc"
#include "imagedb/KeyIndexScan.inc"
#undef KVP_TARGET
}   // namespace portable

#ifdef KVP_X86
// The absolute byte differences come from two saturating subtractions; their
// even and odd bytes are squared and pair-summed into 32-bit lanes by madd,
// whose 16-bit products (at most 255 * 255) cannot overflow.
namespace sse2 {
#define KVP_TARGET __attribute__((target("sse2")))
constexpr int Width = 16;
using Acc = __m128i;
using Chunk = __m128i;
KVP_TARGET inline Acc Zero()
{
    return _mm_setzero_si128();
}
KVP_TARGET inline Chunk Load(const unsigned char *p)
{
    return _mm_load_si128(reinterpret_cast<const __m128i *>(p));
}
KVP_TARGET inline Acc AddSquares(Acc acc, Chunk a, Chunk b)
{
    const __m128i d = _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
    const __m128i even = _mm_and_si128(d, _mm_set1_epi16(0x00FF));
    const __m128i odd = _mm_srli_epi16(d, 8);
    return _mm_add_epi32(acc, _mm_add_epi32(_mm_madd_epi16(even, even), _mm_madd_epi16(odd, odd)));
}
// Block sums are at most 16 * 255, so their differences fit 16 bits and
// their squares, pair-summed, fit 32.
KVP_TARGET inline Acc AddSquares16(Acc acc, Chunk a, Chunk b)
{
    const __m128i d = _mm_sub_epi16(a, b);
    return _mm_add_epi32(acc, _mm_madd_epi16(d, d));
}
KVP_TARGET inline uint32_t Total(Acc acc)
{
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0x4E));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0xB1));
    return uint32_t(_mm_cvtsi128_si32(acc));
}
#include "imagedb/KeyIndexSquares.inc"
#include "imagedb/KeyIndexScan.inc"
#undef KVP_TARGET
}   // namespace sse2

namespace avx2 {
#define KVP_TARGET __attribute__((target("avx2")))
constexpr int Width = 32;
using Acc = __m256i;
using Chunk = __m256i;
KVP_TARGET inline Acc Zero()
{
    return _mm256_setzero_si256();
}
KVP_TARGET inline Chunk Load(const unsigned char *p)
{
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(p));
}
KVP_TARGET inline Acc AddSquares(Acc acc, Chunk a, Chunk b)
{
    const __m256i d = _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a));
    const __m256i even = _mm256_and_si256(d, _mm256_set1_epi16(0x00FF));
    const __m256i odd = _mm256_srli_epi16(d, 8);
    return _mm256_add_epi32(acc, _mm256_add_epi32(_mm256_madd_epi16(even, even), _mm256_madd_epi16(odd, odd)));
}
KVP_TARGET inline Acc AddSquares16(Acc acc, Chunk a, Chunk b)
{
    const __m256i d = _mm256_sub_epi16(a, b);
    return _mm256_add_epi32(acc, _mm256_madd_epi16(d, d));
}
KVP_TARGET inline uint32_t Total(Acc acc)
{
    __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4E));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
    return uint32_t(_mm_cvtsi128_si32(sum));
}
#include "imagedb/KeyIndexSquares.inc"
#include "imagedb/KeyIndexScan.inc"
#undef KVP_TARGET
}   // namespace avx2

namespace avx512 {
#define KVP_TARGET __attribute__((target("avx512f,avx512bw")))
constexpr int Width = 64;
using Acc = __m512i;
using Chunk = __m512i;
KVP_TARGET inline Acc Zero()
{
    return _mm512_setzero_si512();
}
KVP_TARGET inline Chunk Load(const unsigned char *p)
{
    return _mm512_load_si512(p);
}
KVP_TARGET inline Acc AddSquares(Acc acc, Chunk a, Chunk b)
{
    const __m512i d = _mm512_or_si512(_mm512_subs_epu8(a, b), _mm512_subs_epu8(b, a));
    const __m512i even = _mm512_and_si512(d, _mm512_set1_epi16(0x00FF));
    const __m512i odd = _mm512_srli_epi16(d, 8);
    return _mm512_add_epi32(acc, _mm512_add_epi32(_mm512_madd_epi16(even, even), _mm512_madd_epi16(odd, odd)));
}
KVP_TARGET inline Acc AddSquares16(Acc acc, Chunk a, Chunk b)
{
    const __m512i d = _mm512_sub_epi16(a, b);
    return _mm512_add_epi32(acc, _mm512_madd_epi16(d, d));
}
KVP_TARGET inline uint32_t Total(Acc acc)
{
    // Masked extracts: the plain ones and the casts trip a false
    // "may be used uninitialized" warning inside GCC 12's own header.
    const __m256i half =
        _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xF, acc, 0), _mm512_maskz_extracti64x4_epi64(0xF, acc, 1));
    __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4E));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
    return uint32_t(_mm_cvtsi128_si32(sum));
}
#include "imagedb/KeyIndexSquares.inc"
#include "imagedb/KeyIndexScan.inc"
#undef KVP_TARGET
}   // namespace avx512

// The sum of squared differences of key a and tile b is
//   sum(a * a) + sum(b * b) - 2 * sum(a * b),
// and with s = b - 128 as signed bytes, sum(a * b) = sum(a * s) + 128 * sum(a).
// The first two sums are kept per key and per tile, and one VPDPBUSD takes
// sum(a * s) over 64 bytes, one instruction where the squared differences
// take nine. Every sum is exact in 32 bits (|sum(a * s)| is at
// most 768 * 255 * 128), so the score is the same to the last unit. The
// partial sums are no longer running scores, so a key is always scored whole.
namespace avx512vnni {
#define KVP_TARGET __attribute__((target("avx512f,avx512bw,avx512vnni")))
using avx512::Acc;
using avx512::AddSquares16;
using avx512::Load;
using avx512::Total;
using avx512::Width;
using avx512::Zero;
constexpr int Chunks = KeyIndex::KeyBytes / Width;

KVP_TARGET inline Acc AddProducts(Acc acc, const unsigned char *key, const int8_t *tile)
{
    return _mm512_dpbusd_epi32(acc, Load(key), _mm512_load_si512(tile));
}

KVP_TARGET inline uint32_t Score(const KeyIndex::Keys &group, size_t i, const Tile &tile, Acc products)
{
    const int32_t dot = int32_t(Total(products));
    return group.squares[i] + tile.squares - 2 * uint32_t(dot + 128 * int32_t(group.totals[i]));
}

KVP_TARGET static inline uint32_t ScoreSame(const KeyIndex::Keys &group, size_t i, const Tile &tile, uint32_t)
{
    const unsigned char *key = group.keys + i * KeyIndex::KeyBytes;
    Acc acc = Zero();
    for (int c = 0; c < Chunks; ++c)
        acc = AddProducts(acc, key + c * Width, tile.signedSame + c * Width);
    return Score(group, i, tile, acc);
}

KVP_TARGET static inline bool ScoreTurned(const KeyIndex::Keys &group, size_t i, const Tile &tile, uint32_t limit,
                                          uint32_t &score, Rotation &rotation)
{
    const unsigned char *key = group.keys + i * KeyIndex::KeyBytes;
    Acc left = Zero();
    Acc right = Zero();
    for (int c = 0; c < Chunks; ++c) {
        left = AddProducts(left, key + c * Width, tile.signedLeft + c * Width);
        right = AddProducts(right, key + c * Width, tile.signedRight + c * Width);
    }
    return TakeSmallerTurn(Score(group, i, tile, left), Score(group, i, tile, right), limit, score, rotation);
}
#include "imagedb/KeyIndexScan.inc"
#undef KVP_TARGET
}   // namespace avx512vnni
#endif

using Scanner = void (*)(const KeyIndex::Keys &, Search *const *, int, Search *const *, int,
                         const std::atomic<int> *const *, int);

// The widest scan the processor has; asked for each search, so that a limit
// set on the features (Cpu::Limit) takes effect at once. With all, the scan
// that takes every score.
Scanner CurrentScanner(bool all)
{
#ifdef KVP_X86
    if (Cpu::Has(Cpu::Avx512 | Cpu::Avx512Vnni))
        return all ? avx512vnni::Scan<true> : avx512vnni::Scan<false>;
    if (Cpu::Has(Cpu::Avx512))
        return all ? avx512::Scan<true> : avx512::Scan<false>;
    if (Cpu::Has(Cpu::Avx2))
        return all ? avx2::Scan<true> : avx2::Scan<false>;
    if (Cpu::Has(Cpu::Sse2))
        return all ? sse2::Scan<true> : sse2::Scan<false>;
#endif
    return all ? portable::Scan<true> : portable::Scan<false>;
}

// The tile as the turned comparisons see it. DifferenceRotateLeft pairs tile
// pixel (x, y) with key pixel (y, 15 - x); writing that tile pixel at the key
// position turns the comparison into a plain one in memory order, with the
// same terms and so the same sum. Likewise key pixel (15 - y, x) for right.
void BlockSums(const unsigned char *key, int16_t *sums)
{
    constexpr int n = KeyIndex::KeySide;
    std::memset(sums, 0, KeyIndex::SumBytes);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            for (int c = 0; c < 3; ++c)
                sums[((y / 4) * 4 + x / 4) * 3 + c] += key[3 * (y * n + x) + c];
}

uint32_t SumOfSquares(const unsigned char *bytes)
{
    uint32_t sum = 0;
    for (int i = 0; i < KeyIndex::KeyBytes; ++i)
        sum += uint32_t(bytes[i]) * bytes[i];
    return sum;
}

void Moments(const unsigned char *key, double *moments)
{
    const KeyIndex::ChannelSums sums = KeyIndex::SumChannels(key);
    constexpr int64_t Pixels = KeyIndex::KeySide * KeyIndex::KeySide;
    int64_t deviations = Pixels * int64_t(SumOfSquares(key));
    for (int c = 0; c < 3; ++c) {
        deviations -= int64_t(sums[size_t(c)]) * sums[size_t(c)];
        moments[c + 1] = double(sums[size_t(c)]) / 16.0;
    }
    moments[0] = std::sqrt(double(deviations) / double(Pixels));
}

uint32_t SumOfBytes(const unsigned char *bytes)
{
    uint32_t sum = 0;
    for (int i = 0; i < KeyIndex::KeyBytes; ++i)
        sum += bytes[i];
    return sum;
}

void Signed(const unsigned char *bytes, int8_t *less128)
{
    for (int i = 0; i < KeyIndex::KeyBytes; ++i)
        less128[i] = int8_t(int(bytes[i]) - 128);
}

void TurnTile(const unsigned char *tile, unsigned char *left, unsigned char *right)
{
    constexpr int n = KeyIndex::KeySide;
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            const unsigned char *p = tile + 3 * (y * n + x);
            std::memcpy(left + 3 * ((n - 1 - x) * n + y), p, 3);
            std::memcpy(right + 3 * (x * n + (n - 1 - y)), p, 3);
        }
    }
}

// The searches for count tiles, with bySide room for count pointers.
void RunSearches(const KeyIndex::Keys *groups, const std::atomic<int> *const *useCounts,
                 const unsigned char *const *tiles, const bool *portraits, int count, int maxUses, int candidates,
                 Search *searches, Search **bySide, const KeyIndex::Exclusion *exclusions, KeyIndex::Match *scores,
                 size_t entries, int meanWeight)
{
    // Landscape tiles at the front of bySide, portrait ones at the back.
    int landscape = 0;
    int portrait = count;
    for (int k = 0; k < count; ++k) {
        Search &search = searches[k];
        Tile &t = search.tile;
        std::memcpy(t.same, tiles[k], KeyIndex::KeyBytes);
        TurnTile(t.same, t.left, t.right);
        BlockSums(t.same, t.sameSums);
        BlockSums(t.left, t.leftSums);
        BlockSums(t.right, t.rightSums);
        Signed(t.same, t.signedSame);
        Signed(t.left, t.signedLeft);
        Signed(t.right, t.signedRight);
        t.squares = SumOfSquares(t.same);
        Moments(t.same, t.moments);
        search.length = std::clamp(candidates, 1, KeyIndex::MaxCandidates);
        std::fill_n(search.list, search.length, EmptyBest);
        search.excluded = exclusions ? exclusions[k] : KeyIndex::Exclusion();
        search.all = scores ? scores + size_t(k) * entries : nullptr;
        search.meanWeight = meanWeight;
        bySide[portraits[k] ? --portrait : landscape++] = &search;
    }
    Search *const *landscapeSearches = bySide;
    Search *const *portraitSearches = bySide + portrait;
    const int portraitCount = count - portrait;

    const Scanner scan = CurrentScanner(scores != nullptr);
    // The group of most tiles' own orientation first: one comparison per key
    // finds low bounds sooner, and the lower the bounds the earlier the turned
    // keys are dropped.
    const auto scanLandscapeKeys = [&] {
        scan(groups[0], landscapeSearches, landscape, portraitSearches, portraitCount, useCounts, maxUses);
    };
    const auto scanPortraitKeys = [&] {
        scan(groups[1], portraitSearches, portraitCount, landscapeSearches, landscape, useCounts, maxUses);
    };
    if (portraitCount > landscape) {
        scanPortraitKeys();
        scanLandscapeKeys();
    } else {
        scanLandscapeKeys();
        scanPortraitKeys();
    }
}

// The searches for count (at least one) tiles, run on the heap, where a
// batch's would not fit a thread's stack; null when memory runs out.
std::unique_ptr<Search[]> HeapSearches(const KeyIndex::Keys *groups, const std::atomic<int> *const *useCounts,
                                       size_t entries, const unsigned char *const *tiles, const bool *portraits,
                                       int count, int maxUses, int candidates, const KeyIndex::Exclusion *exclusions,
                                       KeyIndex::Match *scores, int meanWeight)
{
    std::unique_ptr<Search[]> searches(new (std::nothrow) Search[size_t(count)]);
    const std::unique_ptr<Search *[]> bySide(new (std::nothrow) Search *[size_t(count)]);
    if (!searches || !bySide)
        return nullptr;
    RunSearches(groups, useCounts, tiles, portraits, count, maxUses, candidates, searches.get(), bySide.get(),
                exclusions, scores, entries, meanWeight);
    return searches;
}

// Entry `from` of one group into place `to` of another.
void CopyKey(const KeyIndex::Keys &from, size_t i, KeyIndex::Keys &to, size_t j)
{
    std::memcpy(to.keys + j * KeyIndex::KeyBytes, from.keys + i * KeyIndex::KeyBytes, KeyIndex::KeyBytes);
    std::memcpy(to.sums + j * KeyIndex::SumCount, from.sums + i * KeyIndex::SumCount, KeyIndex::SumBytes);
    std::memcpy(to.moments + j * KeyIndex::MomentCount, from.moments + i * KeyIndex::MomentCount,
                KeyIndex::MomentCount * sizeof(double));
    to.orders[j] = from.orders[i];
    to.squares[j] = from.squares[i];
    to.totals[j] = from.totals[i];
}

}   // namespace

KeyIndex::KeyIndex() = default;

KeyIndex::~KeyIndex()
{
    Clear();
}

void KeyIndex::Clear()
{
    for (Keys &group : groups)
        Release(group);
    filenames.clear();
    useCounts.clear();
}

void KeyIndex::Release(Keys &group)
{
    std::free(group.keys);
    std::free(group.sums);
    std::free(group.orders);
    std::free(group.squares);
    std::free(group.totals);
    std::free(group.moments);
    group = Keys();
}

bool KeyIndex::Allocate(Keys &group, size_t capacity)
{
    // aligned_alloc takes only whole multiples of the alignment.
    const auto array = [capacity](size_t bytes) { return std::aligned_alloc(64, (capacity * bytes + 63) / 64 * 64); };
    group.capacity = capacity;
    group.keys = static_cast<unsigned char *>(array(KeyBytes));
    group.sums = static_cast<int16_t *>(array(SumBytes));
    group.orders = static_cast<int32_t *>(array(sizeof(int32_t)));
    group.squares = static_cast<uint32_t *>(array(sizeof(uint32_t)));
    group.totals = static_cast<uint32_t *>(array(sizeof(uint32_t)));
    group.moments = static_cast<double *>(array(MomentCount * sizeof(double)));
    if (group.keys && group.sums && group.orders && group.squares && group.totals && group.moments)
        return true;
    Release(group);
    return false;
}

bool KeyIndex::Append(Keys &group, const unsigned char *key, int32_t order)
{
    if (group.count == group.capacity) {
        Keys grown;
        if (!Allocate(grown, group.capacity ? group.capacity * 2 : 256))
            return false;
        for (size_t i = 0; i < group.count; ++i)
            CopyKey(group, i, grown, i);
        grown.count = group.count;
        Release(group);
        group = grown;
    }
    std::memcpy(group.keys + group.count * KeyBytes, key, KeyBytes);
    BlockSums(key, group.sums + group.count * SumCount);
    Moments(key, group.moments + group.count * MomentCount);
    group.orders[group.count] = order;
    group.squares[group.count] = SumOfSquares(key);
    group.totals[group.count] = SumOfBytes(key);
    ++group.count;
    group.bySpread = false;
    return true;
}

bool KeyIndex::SortBySpread(Keys &group)
{
    const std::unique_ptr<size_t[]> places(new (std::nothrow) size_t[group.count]);
    Keys sorted;
    if (!places || !Allocate(sorted, std::max<size_t>(group.count, 1)))
        return false;
    std::iota(places.get(), places.get() + group.count, size_t(0));
    std::stable_sort(places.get(), places.get() + group.count, [&](size_t a, size_t b) {
        return group.moments[a * MomentCount] < group.moments[b * MomentCount];
    });
    for (size_t j = 0; j < group.count; ++j)
        CopyKey(group, places[j], sorted, j);
    sorted.count = group.count;
    sorted.bySpread = true;
    Release(group);
    group = sorted;
    return true;
}

bool KeyIndex::Finish()
{
    for (Keys &group : groups)
        if (!group.bySpread && !SortBySpread(group)) {
            Clear();
            return false;
        }
    return true;
}

bool KeyIndex::Add(const QString &filename, const unsigned char *key, bool portrait, const std::atomic<int> *useCount)
{
    if (!Append(groups[portrait ? 1 : 0], key, int32_t(filenames.size()))) {
        Clear();
        return false;
    }
    filenames.push_back(filename);
    useCounts.push_back(useCount);
    return true;
}

KeyIndex::Match KeyIndex::Find(const unsigned char *tile, bool portrait, int maxUses, Exclusion excluded) const
{
    Search search;
    Search *bySide = &search;
    RunSearches(groups, useCounts.data(), &tile, &portrait, 1, maxUses, 1, &search, &bySide, &excluded, nullptr, 0, 0);
    Match match;
    if (search.list[0].order != INT32_MAX)
        match = Match{search.list[0].order, search.list[0].rotation, search.list[0].score};
    return match;
}

int KeyIndex::OrderOf(const QString &filename) const
{
    const auto it = std::lower_bound(filenames.cbegin(), filenames.cend(), filename);
    return it != filenames.cend() && *it == filename ? int(it - filenames.cbegin()) : -1;
}

bool KeyIndex::FindShortlists(const unsigned char *const *tiles, const bool *portraits, int count, int maxUses,
                              int candidates, Shortlist *shortlists, const Exclusion *exclusions, int meanWeight) const
{
    if (count < 1)
        return true;
    const std::unique_ptr<Search[]> searches =
        HeapSearches(groups, useCounts.data(), filenames.size(), tiles, portraits, count, maxUses, candidates,
                     exclusions, nullptr, meanWeight);
    if (!searches)
        return false;
    for (int k = 0; k < count; ++k) {
        const Search &search = searches[size_t(k)];
        Shortlist &shortlist = shortlists[k];
        shortlist.count = 0;
        for (int e = 0; e < search.length && search.list[e].order != INT32_MAX; ++e)
            shortlist.matches[shortlist.count++] =
                Match{search.list[e].order, search.list[e].rotation, search.list[e].score};
    }
    return true;
}

bool KeyIndex::ScoreAll(const unsigned char *const *tiles, const bool *portraits, int count, Match *scores) const
{
    return count < 1
           || HeapSearches(groups, useCounts.data(), filenames.size(), tiles, portraits, count, INT_MAX, 1, nullptr,
                           scores, 0)
                  != nullptr;
}

KeyIndex::ChannelSums KeyIndex::SumChannels(const unsigned char *key)
{
    ChannelSums sums{0, 0, 0};
    for (int i = 0; i < KeyBytes; ++i)
        sums[size_t(i % 3)] += key[i];
    return sums;
}

uint32_t KeyIndex::MeanTerm(int meanWeight, const ChannelSums &a, const ChannelSums &b)
{
    int64_t squares = 0;
    for (size_t c = 0; c < 3; ++c)
        squares += int64_t(a[c] - b[c]) * (a[c] - b[c]);
    return uint32_t(int64_t(meanWeight) * squares / 65536);
}
