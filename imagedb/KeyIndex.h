#pragma once

#include "imaging/TileMetrics.h"

#include <QString>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The key images of the usable records, packed for the best-match scan.
//
// Keys are 16 by 16 RGB, 768 bytes each, stored back to back in two groups
// (portrait and landscape records) so a scan streams through memory and runs
// one kind of comparison per group without branching per record. Every entry
// keeps its place in ascending filename order (its "order"), which settles
// ties exactly as a scan in filename order would: the smaller filename wins.
//
// The index is built single-threaded and then only read; any number of
// threads may call Find at once.
class KeyIndex {
public:
    static constexpr int KeySide = 16;
    static constexpr int KeyBytes = KeySide * KeySide * 3;
    // Per key, the sums of each channel over its 4 by 4 blocks (48 values,
    // padded with zeros to 64), a summary that bounds the score from below.
    static constexpr int SumCount = 64;
    static constexpr int SumBytes = SumCount * 2;
    // Per key, its spread (the root of the summed squared distances of its
    // bytes from their channel's mean) and its channel sums over 16: the
    // squared distance of two keys' moments bounds their score from below,
    // whichever way either is turned.
    static constexpr int MomentCount = 4;

    struct Match {
        int order = -1;   // -1 when no entry qualified
        Rotation rotation = Rotation::Unturned;
        uint32_t score = 0;   // the key difference, and the mean term where weighted
    };

    // A key's sums of its bytes by channel, 256 times its mean colour.
    using ChannelSums = std::array<int, 3>;
    static ChannelSums SumChannels(const unsigned char *key);
    // What a search weighted by meanWeight adds to a key's difference:
    // meanWeight times the squared distance of the two mean colours, rounded
    // down. A search ranks by that sum, and lists what an arrangement that
    // weighs the mean colour would choose.
    static uint32_t MeanTerm(int meanWeight, const ChannelSums &a, const ChannelSums &b);

    // Entries a search passes over as if used up: their orders, ascending.
    struct Exclusion {
        const int32_t *orders;
        int count;
    };

    KeyIndex();
    ~KeyIndex();
    KeyIndex(const KeyIndex &) = delete;
    KeyIndex &operator=(const KeyIndex &) = delete;

    void Clear();

    // Appends an entry; entries must be added in ascending filename order.
    // key holds KeyBytes bytes; useCount stays owned by the caller and must
    // outlive the index's use. False, with the index left empty, when memory
    // runs out.
    bool Add(const QString &filename, const unsigned char *key, bool portrait, const std::atomic<int> *useCount);
    // Orders the keys by spread, so that a search reads only those whose
    // spread is near its tile's; call after the last Add. A search is exact
    // without it, only slower. False, with the index left empty, when memory
    // runs out.
    bool Finish();

    int Size() const { return int(filenames.size()); }
    const QString &Filename(int order) const { return filenames[size_t(order)]; }

    // The entry whose key differs least from tile (KeyBytes bytes): keys of
    // the tile's orientation are compared unrotated, the others turned left
    // and right with a tie going to right. Entries whose use count is not
    // below maxUses, or that are excluded, are passed over.
    // The scan runs the widest instructions Cpu::Has offers.
    Match Find(const unsigned char *tile, bool portrait, int maxUses, Exclusion excluded = {}) const;

    // Up to MaxCandidates entries for one tile, best first: what Find gives,
    // then what Find would give were the entries before it used up.
    static constexpr int MaxCandidates = 256;
    struct Shortlist {
        int count = 0;
        Match matches[MaxCandidates];
    };

    // Find for count tiles in one pass over the keys, each tile's answer
    // followed by the next candidates-1 (at most MaxCandidates in all). Every
    // key is then read from memory once for all the tiles. exclusions, when
    // given, holds one Exclusion per tile. False, with the shortlists
    // untouched, when memory runs out.
    // With meanWeight, each key's score holds its MeanTerm too, and keys
    // rank by it.
    bool FindShortlists(const unsigned char *const *tiles, const bool *portraits, int count, int maxUses,
                        int candidates, Shortlist *shortlists, const Exclusion *exclusions = nullptr,
                        int meanWeight = 0) const;

    // Every entry's score against each of count tiles, compared as Find
    // compares them, none passed over: scores[k * Size() + order] for tile k.
    // Where the entries are few against the tiles, a list of them all costs
    // less than shortlists that must be searched again. False, with scores
    // untouched, when memory runs out.
    bool ScoreAll(const unsigned char *const *tiles, const bool *portraits, int count, Match *scores) const;

    // The order of filename, or -1 when the index has no such entry.
    int OrderOf(const QString &filename) const;

    // The keys of one orientation, each array 64-byte aligned.
    struct Keys {
        size_t count = 0;
        size_t capacity = 0;
        unsigned char *keys = nullptr;   // KeyBytes per key
        int16_t *sums = nullptr;         // SumCount per key
        int32_t *orders = nullptr;       // one per key
        uint32_t *squares = nullptr;     // per key, the sum of its bytes' squares
        uint32_t *totals = nullptr;      // per key, the sum of its bytes
        double *moments = nullptr;       // MomentCount per key
        bool bySpread = false;           // keys in ascending spread
    };

private:
    static bool Allocate(Keys &group, size_t capacity);
    static bool Append(Keys &group, const unsigned char *key, int32_t order);
    static bool SortBySpread(Keys &group);
    static void Release(Keys &group);

    Keys groups[2];                                    // [0] landscape, [1] portrait
    std::vector<QString> filenames;                    // by order
    std::vector<const std::atomic<int> *> useCounts;   // by order
};
