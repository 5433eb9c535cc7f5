#include "imagedb/KeyIndex.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KVP_X86 1
#endif

namespace {

// Scores are sums over 768 squared byte differences, at most 49,939,200, so
// NoScore + 1 still fits and stays above every real score.
constexpr uint32_t NoScore = 0xFFFFFFFEu;

struct Best {
    uint32_t score = NoScore;
    int32_t order = INT32_MAX;
    int rotation = 0;
};

// The tile in the three arrangements the scan compares, with block sums.
struct Tile {
    alignas(64) unsigned char same[KeyIndex::KeyBytes];
    alignas(64) unsigned char left[KeyIndex::KeyBytes];
    alignas(64) unsigned char right[KeyIndex::KeyBytes];
    alignas(64) int16_t sameSums[KeyIndex::SumCount];
    alignas(64) int16_t leftSums[KeyIndex::SumCount];
    alignas(64) int16_t rightSums[KeyIndex::SumCount];
};

// A key wins with a score below this: strictly below the best score, or equal
// to it when its filename comes first. Groups are scanned one after the
// other, so this comparison, not the scan order, keeps filename order's ties.
inline uint32_t Limit(const Best &best, int32_t order)
{
    return best.score + (order < best.order ? 1u : 0u);
}

// By Cauchy-Schwarz the squared differences of the 16 values of a block add
// up to at least the square of their sum's difference divided by 16, so a key
// whose squared block-sum differences reach 16 times limit scores at least
// limit and cannot win.
inline bool Bounded(uint32_t blockBound, uint32_t limit)
{
    return uint64_t(blockBound) >= uint64_t(limit) * 16;
}

namespace portable {
#define KVP_TARGET
constexpr int Width = 16;
using Acc = uint32_t;
using Chunk = const unsigned char *;
inline Acc Zero() { return 0; }
inline Chunk Load(const unsigned char *p) { return p; }
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
inline uint32_t Total(Acc acc) { return acc; }
#include "imagedb/KeyIndexScan.inc"
#undef KVP_TARGET
}

#ifdef KVP_X86
// The absolute byte differences come from two saturating subtractions; their
// even and odd bytes are squared and pair-summed into 32-bit lanes by madd,
// whose 16-bit products (at most 255 * 255) cannot overflow.
namespace sse2 {
#define KVP_TARGET __attribute__((target("sse2")))
constexpr int Width = 16;
using Acc = __m128i;
using Chunk = __m128i;
KVP_TARGET inline Acc Zero() { return _mm_setzero_si128(); }
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
#include "imagedb/KeyIndexScan.inc"
#undef KVP_TARGET
}

namespace avx2 {
#define KVP_TARGET __attribute__((target("avx2")))
constexpr int Width = 32;
using Acc = __m256i;
using Chunk = __m256i;
KVP_TARGET inline Acc Zero() { return _mm256_setzero_si256(); }
KVP_TARGET inline Chunk Load(const unsigned char *p)
{
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(p));
}
KVP_TARGET inline Acc AddSquares(Acc acc, Chunk a, Chunk b)
{
    const __m256i d = _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a));
    const __m256i even = _mm256_and_si256(d, _mm256_set1_epi16(0x00FF));
    const __m256i odd = _mm256_srli_epi16(d, 8);
    return _mm256_add_epi32(acc, _mm256_add_epi32(_mm256_madd_epi16(even, even),
                                                  _mm256_madd_epi16(odd, odd)));
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
#include "imagedb/KeyIndexScan.inc"
#undef KVP_TARGET
}

namespace avx512 {
#define KVP_TARGET __attribute__((target("avx512f,avx512bw")))
constexpr int Width = 64;
using Acc = __m512i;
using Chunk = __m512i;
KVP_TARGET inline Acc Zero() { return _mm512_setzero_si512(); }
KVP_TARGET inline Chunk Load(const unsigned char *p) { return _mm512_load_si512(p); }
KVP_TARGET inline Acc AddSquares(Acc acc, Chunk a, Chunk b)
{
    const __m512i d = _mm512_or_si512(_mm512_subs_epu8(a, b), _mm512_subs_epu8(b, a));
    const __m512i even = _mm512_and_si512(d, _mm512_set1_epi16(0x00FF));
    const __m512i odd = _mm512_srli_epi16(d, 8);
    return _mm512_add_epi32(acc, _mm512_add_epi32(_mm512_madd_epi16(even, even),
                                                  _mm512_madd_epi16(odd, odd)));
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
    const __m256i half = _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xF, acc, 0),
                                          _mm512_maskz_extracti64x4_epi64(0xF, acc, 1));
    __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4E));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
    return uint32_t(_mm_cvtsi128_si32(sum));
}
#include "imagedb/KeyIndexScan.inc"
#undef KVP_TARGET
}
#endif

using ScanFn = void (*)(const KeyIndex::Keys &, const Tile &, const std::atomic<int> *const *, int,
                        Best &);

struct Scanner {
    ScanFn same;
    ScanFn turned;
};

bool KernelSupported(KeyIndex::Kernel kernel)
{
    switch (kernel) {
    case KeyIndex::Kernel::Auto:
    case KeyIndex::Kernel::Portable:
        return true;
#ifdef KVP_X86
    case KeyIndex::Kernel::Sse2:
        return true;
    case KeyIndex::Kernel::Avx2:
        return __builtin_cpu_supports("avx2");
    case KeyIndex::Kernel::Avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#else
    default:
        return false;
#endif
    }
    return false;
}

Scanner ScannerFor(KeyIndex::Kernel kernel)
{
    switch (kernel) {
#ifdef KVP_X86
    case KeyIndex::Kernel::Sse2:
        return {sse2::ScanSame, sse2::ScanTurned};
    case KeyIndex::Kernel::Avx2:
        return {avx2::ScanSame, avx2::ScanTurned};
    case KeyIndex::Kernel::Avx512:
        return {avx512::ScanSame, avx512::ScanTurned};
#endif
    case KeyIndex::Kernel::Auto:
        for (KeyIndex::Kernel k : {KeyIndex::Kernel::Avx512, KeyIndex::Kernel::Avx2,
                                   KeyIndex::Kernel::Sse2})
            if (KernelSupported(k))
                return ScannerFor(k);
        break;
    default:
        break;
    }
    return {portable::ScanSame, portable::ScanTurned};
}

// The processor does not change while the program runs; decide once.
const Scanner &AutoScanner()
{
    static const Scanner scanner = ScannerFor(KeyIndex::Kernel::Auto);
    return scanner;
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

} // namespace

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
    group = Keys();
}

bool KeyIndex::Append(Keys &group, const unsigned char *key, int32_t order)
{
    if (group.count == group.capacity) {
        Keys grown;
        grown.count = group.count;
        grown.capacity = group.capacity ? group.capacity * 2 : 256;
        grown.keys = static_cast<unsigned char *>(std::aligned_alloc(64, grown.capacity * KeyBytes));
        grown.sums = static_cast<int16_t *>(std::aligned_alloc(64, grown.capacity * SumBytes));
        grown.orders = static_cast<int32_t *>(std::aligned_alloc(64, grown.capacity * sizeof(int32_t)));
        if (!grown.keys || !grown.sums || !grown.orders) {
            Release(grown);
            return false;
        }
        if (group.count) {
            std::memcpy(grown.keys, group.keys, group.count * KeyBytes);
            std::memcpy(grown.sums, group.sums, group.count * SumBytes);
            std::memcpy(grown.orders, group.orders, group.count * sizeof(int32_t));
        }
        Release(group);
        group = grown;
    }
    std::memcpy(group.keys + group.count * KeyBytes, key, KeyBytes);
    BlockSums(key, group.sums + group.count * SumCount);
    group.orders[group.count] = order;
    ++group.count;
    return true;
}

bool KeyIndex::Add(const QString &filename, const unsigned char *key, bool portrait,
                   const std::atomic<int> *useCount)
{
    if (!Append(groups[portrait ? 1 : 0], key, int32_t(filenames.size()))) {
        Clear();
        return false;
    }
    filenames.push_back(filename);
    useCounts.push_back(useCount);
    return true;
}

bool KeyIndex::Supported(Kernel kernel)
{
    return KernelSupported(kernel);
}

KeyIndex::Match KeyIndex::Find(const unsigned char *tile, bool portrait, int maxUses,
                               Kernel kernel) const
{
    Tile t;
    std::memcpy(t.same, tile, KeyBytes);
    TurnTile(tile, t.left, t.right);
    BlockSums(t.same, t.sameSums);
    BlockSums(t.left, t.leftSums);
    BlockSums(t.right, t.rightSums);

    const Scanner scanner = kernel == Kernel::Auto || !KernelSupported(kernel)
        ? AutoScanner() : ScannerFor(kernel);
    const Keys &sameGroup = groups[portrait ? 1 : 0];
    const Keys &otherGroup = groups[portrait ? 0 : 1];

    // The unrotated group first: one comparison per key finds a low bound
    // sooner, and the lower the bound the earlier the turned keys are dropped.
    Best best;
    scanner.same(sameGroup, t, useCounts.data(), maxUses, best);
    scanner.turned(otherGroup, t, useCounts.data(), maxUses, best);

    Match match;
    if (best.order != INT32_MAX) {
        match.order = best.order;
        match.rotation = best.rotation;
    }
    return match;
}
