#pragma once

#include "imaging/TileMetrics.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

// Chooses one picture for every tile of a grid so that the sum of the tiles'
// costs is least, no picture serves more than `uses` tiles, and two tiles
// with the same picture lie more than `spacing` tiles apart (the larger of
// the column and row distances). Each tile offers a list of candidate
// pictures with their costs, and a lower bound on the cost of every picture
// not in its list.
//
// Without spacing the problem is a transportation problem, solved by an
// auction: each picture's uses are sold to the tiles, one tile bidding at a
// time in a fixed order. A tile takes the use that costs it least, cost
// plus price, and raises that use's price by what its next best choice
// would cost more, plus a small step; a tile that loses its use bids again.
// Uses no tile wants go to stand-ins, which take the cheapest use of all.
// A tile whose unlisted pictures might be cheaper waits for more
// candidates; once no other tile waits to bid, the waiting tiles' lists
// grow together, searched on all threads. When the bidding ends every tile
// holds a use within a step of its best, so the sum is within two steps per
// tile of the least; with small costs that is less than a cost unit over
// all tiles, and the sum is the least. Where the uses barely cover the tiles, rounds of bidding in
// shrinking steps, each from the last round's prices, take far fewer bids.
// The prices are the duals of the uses limits and give a lower bound on any
// arrangement's sum, unlisted pictures counted at their bound. With
// spacing, the tiles then choose, one after the other and by cost plus
// price, among the pictures not used nearby, and tiles move to other
// pictures or exchange theirs while that lowers the sum; the bound still
// holds, since spacing only adds a rule, and the gap between the two is
// measured.
//
// Deterministic: the same lists give the same arrangement.
class Arrangement {
public:
    struct Candidate {
        int32_t picture;
        Rotation rotation;   // carried along for the caller
        uint32_t cost;       // 32 bits keep a list of every picture small
    };
    static constexpr int64_t NoBound = -1;   // every usable picture is listed
    // Candidates over all tiles that the lists should hold, some 256 MB:
    // the first lists and each lengthening keep to their share of it.
    static constexpr int64_t ListBudget = int64_t(16) << 20;

    // Up to max more candidates for tile, best first, none of them a picture
    // in excluded (ascending); sets unlisted to the new bound for the pictures
    // neither listed nor excluded. Returns how many were written, or less
    // than 0 when the search failed.
    using MoreCandidates =
        std::function<int(int tile, const std::vector<int32_t> &excluded, Candidate *list, int max, int64_t &unlisted)>;

    Arrangement(int columns, int rows, int pictures, int uses, int spacing);

    // Whether so few uses cover the tiles that many tiles cannot have their
    // best: there lists should be long and the bidding runs in rounds.
    static bool UsesBarelyCover(int64_t uses, int64_t tiles) { return uses < 2 * tiles; }

    // Any number of threads may set the lists of different tiles at once.
    void SetCandidates(int tile, const Candidate *list, int count, int64_t unlisted);

    // False when stopped by keepRunning, or when more failed. more is called
    // from this thread and up to threads - 1 helpers, at once for different
    // tiles; the result does not depend on threads.
    bool Solve(const std::atomic<bool> &keepRunning, const MoreCandidates &more, int threads = 1);

    // Results: the picture of a tile (-1 when it stays empty) with its
    // candidate's rotation, the sum of the chosen costs, and a lower bound on
    // the sum of any arrangement that fills as many tiles as the uses allow.
    int32_t Picture(int tile) const { return chosen[size_t(tile)]; }
    Rotation ChosenRotation(int tile) const { return rotations[size_t(tile)]; }
    int64_t Sum() const { return sum; }
    int64_t Bound() const { return bound; }
    int Filled() const { return filled; }

private:
    // One use of a picture: its price, in costs times scale, and its tile.
    struct Slot {
        int64_t price;
        int32_t holder;
    };
    // The picture numbered `pictures` stands for staying empty.
    int Capacity(int32_t picture) const { return picture == pictures ? escapeUses : uses; }
    // The holder of a use that a stand-in for no tile has taken.
    static constexpr int32_t StandIn = -2;
    // What Bid returns for a tile that waits for more candidates.
    static constexpr int32_t Parked = -3;
    bool Auction(const std::atomic<bool> &keepRunning, const MoreCandidates &more);
    int32_t Bid(int tile);
    bool LengthenParked(const std::atomic<bool> &keepRunning, const std::vector<int32_t> &parked,
                        const MoreCandidates &more);
    int32_t StandInBid();
    int32_t CheapestPicture();
    int32_t Raise(int32_t picture, int32_t taker, int64_t raise);
    int64_t Price(int32_t picture) const;
    int64_t LeastPricedCost(int tile) const;
    void ComputeDuals();
    int64_t Lambda(int32_t picture) const { return duals[size_t(picture)]; }
    void ComputeBound();
    int64_t SpacedBound() const;
    bool Space(const std::atomic<bool> &keepRunning, const MoreCandidates &more);
    const Candidate *Find(int tile, int32_t picture) const;
    bool UsedNear(int tile, int32_t picture, int except) const;
    bool Exchange(const std::atomic<bool> &keepRunning, std::vector<int> &counts);

    int columns;
    int rows;
    int tiles;
    int pictures;
    int uses;
    int spacing;
    int escapeUses = 0;
    int moreAtOnce;   // candidates a lengthening asks for at least
    int threads = 1;
    bool lengthens = false;   // whether lists can grow

    // Per tile, cheapest first while the tiles bid; the spaced choice
    // appends what it asks for.
    std::vector<std::vector<Candidate>> lists;
    std::vector<int64_t> unlisted;   // per tile; NoBound when all listed

    std::vector<int32_t> assigned;       // per tile: picture, or -1
    std::vector<int64_t> assignedCost;   // per tile
    // Every picture's uses, cheapest first, those of picture p from
    // slotStart[p] to slotStart[p + 1].
    std::vector<Slot> useSlots;
    std::vector<size_t> slotStart;
    std::vector<int64_t> duals;   // per picture and staying empty, once the bidding ends
    int64_t scale = 1;
    int64_t epsilon = 1;   // the least raise
    // Each picture's cheapest price, with entries a later raise left behind.
    std::priority_queue<std::pair<int64_t, int32_t>, std::vector<std::pair<int64_t, int32_t>>, std::greater<>>
        cheapestUses;

    std::vector<int32_t> chosen;
    std::vector<Rotation> rotations;
    int64_t sum = 0;
    int64_t bound = 0;
    int filled = 0;
};
