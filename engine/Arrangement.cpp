#include "engine/Arrangement.h"

#include <algorithm>
#include <array>
#include <climits>
#include <deque>
#include <numeric>

#include "engine/RunJobs.h"

namespace {
// Candidates asked for at once when a list is lengthened: as many as
// the budget allows a tile, between these.
constexpr int64_t LeastMore = 16;
constexpr int64_t MostMore = 256;
// Passes of moves and exchanges after the spaced choice: two keep all but
// 0.02 dB of what eight give, at a quarter of the time (bench_likeness).
constexpr int MovePasses = 2;
// How often a long loop looks at the stop flag.
constexpr int StopCheckInterval = 1024;
// The least raise of a price is the mean cheapest cost over this.
constexpr int64_t RaiseDivisor = 64;
// Where the uses barely cover the tiles, the first round's step is this many
// times the last's, and each round's this many times the next's
// (bench_likeness: a fifth of the bids of one round in fine steps).
constexpr int64_t CoarsestStep = 16;
constexpr int64_t StepShrink = 4;
// A choice a tile of a spaced square does not have, dear enough never to be
// taken and cheap enough that sums of a few cannot overflow.
constexpr int64_t Barred = INT64_MAX / 4;

bool CheaperCandidate(const Arrangement::Candidate &a, const Arrangement::Candidate &b)
{
    return a.cost < b.cost;
}

// Cheapest first, ties in the order given. A long list is sorted by a radix
// sort, in as many passes as its dearest cost has digits: a list of every
// picture sorts several times faster so.
void SortCheapestFirst(std::vector<Arrangement::Candidate> &list)
{
    constexpr int DigitBits = 11;
    constexpr uint32_t Digits = uint32_t(1) << DigitBits;
    constexpr size_t ShortList = 64;
    if (list.size() < ShortList) {
        std::stable_sort(list.begin(), list.end(), CheaperCandidate);
        return;
    }
    uint32_t dearest = 0;
    for (const Arrangement::Candidate &c : list)
        dearest = std::max(dearest, c.cost);
    std::vector<Arrangement::Candidate> sorted(list.size());
    for (int shift = 0; shift < 32 && (dearest >> shift) > 0; shift += DigitBits) {
        const auto digit = [&](const Arrangement::Candidate &c) { return (c.cost >> shift) & (Digits - 1); };
        std::array<size_t, Digits + 1> starts{};
        for (const Arrangement::Candidate &c : list)
            ++starts[digit(c) + 1];
        std::partial_sum(starts.begin(), starts.end(), starts.begin());
        for (const Arrangement::Candidate &c : list)
            sorted[starts[digit(c)]++] = c;
        list.swap(sorted);
    }
}

// The least sum of an assignment of each of n rows to its own column of m
// (n <= m), costs row by row: shortest augmenting paths with potentials.
int64_t LeastAssignment(int n, int m, const std::vector<int64_t> &costs)
{
    // Rows and columns count from 1; column 0 holds the row being added.
    std::vector<int64_t> rowPotential(size_t(n) + 1, 0), columnPotential(size_t(m) + 1, 0);
    std::vector<int> rowOf(size_t(m) + 1, 0), previous(size_t(m) + 1, 0);
    std::vector<int64_t> least(size_t(m) + 1);
    std::vector<char> reached(size_t(m) + 1);
    for (int row = 1; row <= n; ++row) {
        rowOf[0] = row;
        int column = 0;
        std::fill(least.begin(), least.end(), INT64_MAX);
        std::fill(reached.begin(), reached.end(), 0);
        do {
            reached[size_t(column)] = 1;
            const int from = rowOf[size_t(column)];
            int64_t step = INT64_MAX;
            int next = 0;
            for (int j = 1; j <= m; ++j) {
                if (reached[size_t(j)])
                    continue;
                const int64_t reduced = costs[size_t(from - 1) * size_t(m) + size_t(j - 1)] - rowPotential[size_t(from)]
                                        - columnPotential[size_t(j)];
                if (reduced < least[size_t(j)]) {
                    least[size_t(j)] = reduced;
                    previous[size_t(j)] = column;
                }
                if (least[size_t(j)] < step) {
                    step = least[size_t(j)];
                    next = j;
                }
            }
            for (int j = 0; j <= m; ++j) {
                if (reached[size_t(j)]) {
                    rowPotential[size_t(rowOf[size_t(j)])] += step;
                    columnPotential[size_t(j)] -= step;
                } else {
                    least[size_t(j)] -= step;
                }
            }
            column = next;
        } while (rowOf[size_t(column)] != 0);
        do {
            const int before = previous[size_t(column)];
            rowOf[size_t(column)] = rowOf[size_t(before)];
            column = before;
        } while (column != 0);
    }
    return -columnPotential[0];
}
}   // namespace

Arrangement::Arrangement(int columns, int rows, int pictures, int uses, int spacing)
    : columns(columns), rows(rows), tiles(columns * rows), pictures(pictures), uses(std::max(uses, 0)),
      spacing(spacing), moreAtOnce(int(std::clamp<int64_t>(ListBudget / std::max(tiles, 1), LeastMore, MostMore))),
      lists(size_t(tiles)), unlisted(size_t(tiles), NoBound), chosen(size_t(tiles), -1),
      rotations(size_t(tiles), Rotation::Unturned)
{}

void Arrangement::SetCandidates(int tile, const Candidate *list, int count, int64_t bound)
{
    std::vector<Candidate> &mine = lists[size_t(tile)];
    mine.assign(list, list + count);
    SortCheapestFirst(mine);
    unlisted[size_t(tile)] = bound;
}

bool Arrangement::Solve(const std::atomic<bool> &keepRunning, const MoreCandidates &more, int threads)
{
    this->threads = std::max(threads, 1);
    lengthens = bool(more);
    sum = bound = 0;
    filled = 0;
    std::fill(chosen.begin(), chosen.end(), -1);
    if (tiles == 0 || pictures == 0 || uses == 0)
        return true;
    // When the uses cannot fill every tile, staying empty is one more
    // picture, free of cost, with a use for each tile that must.
    escapeUses = int(std::max<int64_t>(0, int64_t(tiles) - int64_t(pictures) * uses));
    slotStart.resize(size_t(pictures) + 2);
    for (int32_t p = 0; p <= pictures + 1; ++p)
        slotStart[size_t(p)] = size_t(std::min(p, pictures)) * size_t(uses) + (p > pictures ? size_t(escapeUses) : 0);
    useSlots.assign(slotStart.back(), Slot{0, -1});
    assigned.assign(size_t(tiles), -1);
    assignedCost.assign(size_t(tiles), 0);
    // Prices rise in steps of a 64th of the mean cheapest cost, so the sum
    // is within that per tile of the least: finer steps take many more bids
    // where many tiles want the same few pictures. They count in costs times
    // twice the tiles plus one, so that a step of one, as small costs on a
    // small grid have, keeps the sum within a cost unit of the least (see
    // Auction): the sum is the least.
    scale = 2 * int64_t(tiles) + 1;
    int64_t cheapest = 0;
    for (const std::vector<Candidate> &list : lists)
        cheapest += list.empty() ? 0 : list.front().cost;
    const int64_t finest = std::max<int64_t>(1, cheapest / tiles * scale / RaiseDivisor);
    // Where many tiles want the same few pictures, the steps start coarse
    // and shrink, each round starting from the prices the one before left,
    // so that few tiles bid many times in fine steps.
    const bool tight = UsesBarelyCover(int64_t(pictures) * uses, tiles);
    for (epsilon = finest * (tight ? CoarsestStep : 1);; epsilon = std::max(finest, epsilon / StepShrink)) {
        if (!Auction(keepRunning, more))
            return false;
        if (epsilon == finest)
            break;
    }
    ComputeDuals();
    ComputeBound();
    if (spacing > 0) {
        bound = std::max(bound, SpacedBound());
        return Space(keepRunning, more);
    }
    for (int t = 0; t < tiles; ++t) {
        const int32_t p = assigned[size_t(t)];
        if (p < 0 || p == pictures)
            continue;
        rotations[size_t(t)] = Find(t, p)->rotation;
        chosen[size_t(t)] = p;
        sum += assignedCost[size_t(t)];
        ++filled;
    }
    return true;
}

// One round of bidding, every tile starting without a use. Where the
// pictures have more uses than there are tiles, the uses no tile wants go to
// stand-ins that bid like tiles to whom every use costs nothing: they take
// the cheapest use there is. Then every use is taken, each at a price within
// a step of its taker's best, and the tiles' sum is within two steps per
// tile of the least (a tile's step, and the step by which a use a stand-in
// holds may be dearer than the cheapest), whatever prices the round started
// with.
bool Arrangement::Auction(const std::atomic<bool> &keepRunning, const MoreCandidates &more)
{
    std::fill(assigned.begin(), assigned.end(), -1);
    for (Slot &slot : useSlots)
        slot.holder = -1;
    std::deque<int32_t> waiting(static_cast<size_t>(tiles));
    std::iota(waiting.begin(), waiting.end(), 0);
    // Tiles that asked for more candidates, lengthened together once no
    // other tile waits to bid.
    std::vector<int32_t> parked;
    int64_t standIns = int64_t(useSlots.size()) - tiles;
    cheapestUses = {};
    for (int32_t p = 0; p < pictures; ++p)
        cheapestUses.push({Price(p), p});
    for (int64_t bids = 1; !waiting.empty() || standIns > 0 || !parked.empty(); ++bids) {
        if (bids % StopCheckInterval == 0 && !keepRunning.load(std::memory_order_relaxed))
            return false;
        if (waiting.empty() && !parked.empty()) {
            if (!LengthenParked(keepRunning, parked, more))
                return false;
            waiting.assign(parked.begin(), parked.end());
            parked.clear();
            continue;
        }
        int32_t evicted = -1;
        if (waiting.empty()) {
            evicted = StandInBid();
            --standIns;
        } else {
            evicted = Bid(waiting.front());
            if (evicted == Parked)
                parked.push_back(waiting.front());
            waiting.pop_front();
        }
        if (evicted >= 0)
            waiting.push_back(evicted);
        else if (evicted == StandIn)
            ++standIns;
    }
    return true;
}

// Each parked tile's list grows by at least moreAtOnce candidates, by as
// many as it holds where it keeps running out, at most MostMore: the tiles
// are searched on all threads, and their lists merged here in turn. A wave
// on a large grid searches for many seconds, so a stop is looked for before
// each batch.
bool Arrangement::LengthenParked(const std::atomic<bool> &keepRunning, const std::vector<int32_t> &parked,
                                 const MoreCandidates &more)
{
    // A batch of at most 1024 tiles, and no bigger than the wait.
    const size_t chunk = std::min<size_t>(1024, parked.size());
    std::vector<Candidate> extra(chunk * MostMore);
    std::vector<int> counts(chunk);
    std::vector<int64_t> bounds(chunk);
    for (size_t first = 0; first < parked.size(); first += chunk) {
        if (!keepRunning.load(std::memory_order_relaxed))
            return false;
        const size_t n = std::min(chunk, parked.size() - first);
        RunJobs(n, threads, [&](size_t k) {
            const int tile = parked[first + k];
            const std::vector<Candidate> &list = lists[size_t(tile)];
            std::vector<int32_t> excluded(list.size());
            for (size_t i = 0; i < list.size(); ++i)
                excluded[i] = list[i].picture;
            std::sort(excluded.begin(), excluded.end());
            const int max = int(std::clamp<int64_t>(int64_t(list.size()), moreAtOnce, MostMore));
            counts[k] = more(tile, excluded, extra.data() + k * MostMore, max, bounds[k]);
        });
        for (size_t k = 0; k < n; ++k) {
            if (counts[k] < 0)
                return false;
            std::vector<Candidate> &list = lists[size_t(parked[first + k])];
            const Candidate *added = extra.data() + k * MostMore;
            const size_t before = list.size();
            list.insert(list.end(), added, added + counts[k]);
            std::stable_sort(list.begin() + ptrdiff_t(before), list.end(), CheaperCandidate);
            std::inplace_merge(list.begin(), list.begin() + ptrdiff_t(before), list.end(), CheaperCandidate);
            // None found means every picture is listed.
            unlisted[size_t(parked[first + k])] = counts[k] > 0 ? bounds[k] : NoBound;
        }
    }
    return true;
}

// A stand-in takes the cheapest use of all and raises its price to the next
// cheapest's, and one step.
int32_t Arrangement::StandInBid()
{
    const int32_t picture = CheapestPicture();
    cheapestUses.pop();
    const size_t first = slotStart[size_t(picture)];
    const int32_t next = CheapestPicture();
    int64_t second = next < 0 ? INT64_MAX : Price(next);
    if (slotStart[size_t(picture) + 1] - first > 1)
        second = std::min(second, useSlots[first + 1].price);
    return Raise(picture, StandIn, second - useSlots[first].price + epsilon);
}

// The picture whose cheapest use is cheapest of all, or -1 when none is
// left, passing over entries that a later price left behind.
int32_t Arrangement::CheapestPicture()
{
    while (!cheapestUses.empty() && cheapestUses.top().first != Price(cheapestUses.top().second))
        cheapestUses.pop();
    return cheapestUses.empty() ? -1 : cheapestUses.top().second;
}

// Gives picture's cheapest use to taker at raise above its price, keeps the
// uses cheapest first, and returns the use's holder before.
int32_t Arrangement::Raise(int32_t picture, int32_t taker, int64_t raise)
{
    const size_t first = slotStart[size_t(picture)];
    const int32_t evicted = useSlots[first].holder;
    useSlots[first] = Slot{useSlots[first].price + raise, taker};
    for (size_t i = first; i + 1 < slotStart[size_t(picture) + 1] && useSlots[i + 1].price < useSlots[i].price; ++i)
        std::swap(useSlots[i], useSlots[i + 1]);
    if (picture < pictures)
        cheapestUses.push({Price(picture), picture});
    if (evicted >= 0)
        assigned[size_t(evicted)] = -1;
    return evicted;
}

// The tile takes the cheapest use, by cost plus price, of its best picture,
// and raises that use's price by how much more its next best choice would
// cost, and one step: it would still take it at that price. The use's
// holder before it is returned, to choose again. A tile whose unlisted
// pictures might be cheaper takes nothing and returns Parked, to wait for
// more candidates.
int32_t Arrangement::Bid(int tile)
{
    // No use is cheaper than the cheapest of all. Without a way to more
    // candidates, the unlisted pictures are no choice.
    const int64_t outside = unlisted[size_t(tile)] == NoBound || !lengthens
                                ? INT64_MAX
                                : unlisted[size_t(tile)] * scale + Price(CheapestPicture());
    int64_t best = INT64_MAX, second = outside, cost = 0;
    int32_t picture = -1;
    const auto offer = [&](int32_t p, int64_t c) {
        const int64_t value = c * scale + useSlots[slotStart[size_t(p)]].price;
        second = std::min(second, value < best ? best : value);
        if (value < best) {
            best = value;
            picture = p;
            cost = c;
        }
    };
    if (escapeUses > 0)
        offer(pictures, 0);
    // The list is cheapest first and prices are not negative, so no
    // candidate after one that costs the second best or more can be
    // either.
    for (const Candidate &c : lists[size_t(tile)]) {
        if (c.cost * scale >= second)
            break;
        offer(c.picture, c.cost);
    }
    if (outside < best)
        return Parked;
    if (picture < 0)
        return -1;
    const size_t first = slotStart[size_t(picture)];
    if (slotStart[size_t(picture) + 1] - first > 1)
        second = std::min(second, cost * scale + useSlots[first + 1].price);
    const int64_t raise = (second == INT64_MAX ? 0 : second - best) + epsilon;
    assigned[size_t(tile)] = picture;
    assignedCost[size_t(tile)] = cost;
    return Raise(picture, tile, raise);
}

// The price of a picture's cheapest use, in costs times scale.
int64_t Arrangement::Price(int32_t picture) const
{
    // Staying empty has no uses when the pictures can fill every tile.
    const size_t first = slotStart[size_t(picture)];
    return first < slotStart[size_t(picture) + 1] ? useSlots[first].price : 0;
}

// The dual of each picture's uses limit: zero while a use is left to no
// tile, else its cheapest use's price above the cheapest of all. Every tile
// takes one use, so lowering all prices alike only adds the untaken uses'
// share to the bound.
void Arrangement::ComputeDuals()
{
    int64_t floor = INT64_MAX;
    for (const Slot &slot : useSlots)
        floor = std::min(floor, slot.price);
    duals.assign(size_t(pictures) + 1, 0);
    for (int32_t p = 0; p <= pictures; ++p) {
        bool untaken = false;
        for (size_t i = slotStart[size_t(p)]; i < slotStart[size_t(p) + 1]; ++i)
            untaken = untaken || useSlots[i].holder < 0;
        duals[size_t(p)] = untaken ? 0 : std::max<int64_t>(0, Price(p) - floor);
    }
}

// The tile's least cost plus price over its list and staying empty, in
// costs times scale.
int64_t Arrangement::LeastPricedCost(int tile) const
{
    int64_t least = escapeUses > 0 ? Lambda(pictures) : INT64_MAX;
    for (const Candidate &c : lists[size_t(tile)])
        least = std::min(least, c.cost * scale + Lambda(c.picture));
    return least;
}

// For any prices lambda >= 0, the sum over tiles of each one's least cost
// plus price, less every picture's uses times its price, bounds every
// arrangement from below. A tile's unlisted pictures count at their bound,
// whatever their price. Costs are whole numbers, so the bound rounds up.
void Arrangement::ComputeBound()
{
    __int128 total = 0;
    for (int t = 0; t < tiles; ++t)
        total += std::min(unlisted[size_t(t)] == NoBound ? INT64_MAX : unlisted[size_t(t)] * scale, LeastPricedCost(t));
    for (int32_t p = 0; p <= pictures; ++p)
        total -= __int128(Lambda(p)) * Capacity(p);
    bound = total <= 0 ? 0 : int64_t((total + scale - 1) / scale);
}

// Spacing allows a picture only once in any square of spacing + 1 tiles a
// side. Cut the grid into such squares and let each square's tiles choose
// distinct pictures, with the uses limits priced as above: the least sum of
// this looser problem, less the uses times their prices, bounds every spaced
// arrangement, and each square's least sum is an assignment, solved exactly.
// A tile's unlisted pictures count at their bound, as one more choice of its
// own that tiles may share, as a looser problem may; a tile that lists
// every picture gets that choice at its dearest, which only loosens.
int64_t Arrangement::SpacedBound() const
{
    const int side = spacing + 1;
    __int128 total = 0;
    std::vector<int> square;
    std::vector<int32_t> shown;   // the square's listed pictures, ascending
    std::vector<int64_t> costs;
    for (int top = 0; top < rows; top += side)
        for (int left = 0; left < columns; left += side) {
            square.clear();
            shown.clear();
            for (int y = top; y < std::min(rows, top + side); ++y)
                for (int x = left; x < std::min(columns, left + side); ++x) {
                    square.push_back(y * columns + x);
                    for (const Candidate &c : lists[size_t(y * columns + x)])
                        shown.push_back(c.picture);
                }
            std::sort(shown.begin(), shown.end());
            shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
            const int n = int(square.size());
            const int m = int(shown.size()) + n;
            costs.assign(size_t(n) * size_t(m), 0);
            for (int i = 0; i < n; ++i) {
                const int tile = square[size_t(i)];
                int64_t *row = costs.data() + size_t(i) * size_t(m);
                const int64_t outside = unlisted[size_t(tile)];
                int64_t own = escapeUses > 0 ? Lambda(pictures) : INT64_MAX;
                if (outside != NoBound)
                    own = std::min(own, outside * scale);
                for (size_t j = 0; j < shown.size(); ++j)
                    row[j] = (outside == NoBound ? Barred : outside * scale) + Lambda(shown[j]);
                int64_t dearest = 0;
                for (const Candidate &c : lists[size_t(tile)]) {
                    const size_t j = size_t(std::lower_bound(shown.begin(), shown.end(), c.picture) - shown.begin());
                    row[j] = std::min(row[j], c.cost * scale + Lambda(c.picture));
                    dearest = std::max(dearest, row[j]);
                }
                for (int k = 0; k < n; ++k)
                    row[shown.size() + size_t(k)] = k == i ? std::min(own, dearest) : Barred;
            }
            total += LeastAssignment(n, m, costs);
        }
    for (int32_t p = 0; p <= pictures; ++p)
        total -= __int128(Lambda(p)) * Capacity(p);
    return total <= 0 ? 0 : int64_t((total + scale - 1) / scale);
}

// Row by row, each tile takes the candidate of least cost plus price that no
// tile nearby uses and that has a use left; a tile whose whole list is taken
// asks for the best pictures outside it. Then the tiles move and exchange
// their pictures while that lowers the sum.
bool Arrangement::Space(const std::atomic<bool> &keepRunning, const MoreCandidates &more)
{
    std::fill(chosen.begin(), chosen.end(), -1);
    std::vector<int> counts(size_t(pictures), 0);
    std::vector<int32_t> marks(size_t(pictures), -1);
    std::vector<int32_t> excluded;
    std::vector<Candidate> extra(static_cast<size_t>(moreAtOnce));
    const auto markNearby = [&](int tile) {
        const int column = tile % columns;
        const int row = tile / columns;
        for (int y = std::max(0, row - spacing); y <= std::min(rows - 1, row + spacing); ++y)
            for (int x = std::max(0, column - spacing); x <= std::min(columns - 1, column + spacing); ++x) {
                const int32_t p = chosen[size_t(y) * size_t(columns) + size_t(x)];
                if (p >= 0 && (x != column || y != row))
                    marks[size_t(p)] = tile;
            }
    };
    const auto fits = [&](int tile, int32_t picture) {
        return marks[size_t(picture)] != tile && counts[size_t(picture)] < uses;
    };

    for (int t = 0; t < tiles; ++t) {
        if (t % StopCheckInterval == 0 && !keepRunning.load(std::memory_order_relaxed))
            return false;
        markNearby(t);
        const std::vector<Candidate> *list = &lists[size_t(t)];
        const Candidate *best = nullptr;
        int64_t bestValue = 0;
        for (const Candidate &c : *list) {
            const int64_t value = c.cost * scale + Lambda(c.picture);
            if (fits(t, c.picture) && (!best || value < bestValue)) {
                best = &c;
                bestValue = value;
            }
        }
        if (!best && more && unlisted[size_t(t)] != NoBound) {
            excluded.clear();
            for (int32_t p = 0; p < pictures; ++p)
                if (!fits(t, p))
                    excluded.push_back(p);
            int64_t next = NoBound;
            const int n = more(t, excluded, extra.data(), moreAtOnce, next);
            if (n < 0)
                return false;
            if (n > 0) {
                lists[size_t(t)].insert(lists[size_t(t)].end(), extra.begin(), extra.begin() + n);
                best = &lists[size_t(t)][lists[size_t(t)].size() - size_t(n)];
            }
        }
        if (best) {
            chosen[size_t(t)] = best->picture;
            rotations[size_t(t)] = best->rotation;
            ++counts[size_t(best->picture)];
        }
    }

    if (!Exchange(keepRunning, counts))
        return false;
    for (int t = 0; t < tiles; ++t) {
        if (chosen[size_t(t)] < 0)
            continue;
        for (const Candidate &c : lists[size_t(t)])
            if (c.picture == chosen[size_t(t)]) {
                sum += c.cost;
                break;
            }
        ++filled;
    }
    return true;
}

const Arrangement::Candidate *Arrangement::Find(int tile, int32_t picture) const
{
    for (const Candidate &c : lists[size_t(tile)])
        if (c.picture == picture)
            return &c;
    return nullptr;
}

// Whether a tile within spacing of tile, other than itself and except,
// shows picture.
bool Arrangement::UsedNear(int tile, int32_t picture, int except) const
{
    const int column = tile % columns;
    const int row = tile / columns;
    for (int y = std::max(0, row - spacing); y <= std::min(rows - 1, row + spacing); ++y)
        for (int x = std::max(0, column - spacing); x <= std::min(columns - 1, column + spacing); ++x) {
            const int other = y * columns + x;
            if (other != tile && other != except && chosen[size_t(other)] == picture)
                return true;
        }
    return false;
}

// Each tile in turn takes the candidate that lowers the sum most, either
// alone, where the picture has a use left and none nearby, or by exchanging
// pictures with a tile that shows it, where both fit their new places. The
// uses stay as they are, and so does the spacing.
bool Arrangement::Exchange(const std::atomic<bool> &keepRunning, std::vector<int> &counts)
{
    std::vector<std::vector<int32_t>> shown(static_cast<size_t>(pictures));
    std::vector<int64_t> costs(static_cast<size_t>(tiles), 0);   // of the chosen candidates
    for (int t = 0; t < tiles; ++t)
        if (chosen[size_t(t)] >= 0) {
            shown[size_t(chosen[size_t(t)])].push_back(t);
            costs[size_t(t)] = Find(t, chosen[size_t(t)])->cost;
        }
    // Every tile's candidate of each picture, by picture, tiles ascending.
    std::vector<std::vector<std::pair<int32_t, const Candidate *>>> listedBy(static_cast<size_t>(pictures));
    for (int t = 0; t < tiles; ++t)
        for (const Candidate &c : lists[size_t(t)])
            listedBy[size_t(c.picture)].push_back({t, &c});
    const auto candidate = [&](int tile, int32_t picture) -> const Candidate * {
        const auto &listed = listedBy[size_t(picture)];
        const auto found =
            std::lower_bound(listed.begin(), listed.end(), std::make_pair(tile, (const Candidate *)nullptr));
        return found != listed.end() && found->first == tile ? found->second : nullptr;
    };
    const auto show = [&](int tile, const Candidate &c) {
        const int32_t previous = chosen[size_t(tile)];
        std::vector<int32_t> &old = shown[size_t(previous)];
        old.erase(std::find(old.begin(), old.end(), tile));
        shown[size_t(c.picture)].push_back(tile);
        chosen[size_t(tile)] = c.picture;
        rotations[size_t(tile)] = c.rotation;
        costs[size_t(tile)] = c.cost;
    };
    for (int pass = 0; pass < MovePasses; ++pass) {
        bool moved = false;
        for (int t = 0; t < tiles; ++t) {
            if (t % StopCheckInterval == 0 && !keepRunning.load(std::memory_order_relaxed))
                return false;
            const int32_t current = chosen[size_t(t)];
            if (current < 0)
                continue;
            const int64_t now = costs[size_t(t)];
            int64_t bestGain = 0;
            const Candidate *best = nullptr;
            int partner = -1;
            const Candidate *partnerTakes = nullptr;
            for (const Candidate &c : lists[size_t(t)]) {
                if (c.picture == current || now - c.cost <= bestGain)
                    continue;
                if (counts[size_t(c.picture)] < uses && !UsedNear(t, c.picture, -1)) {
                    bestGain = now - c.cost;
                    best = &c;
                    partner = -1;
                    continue;
                }
                for (int32_t u : shown[size_t(c.picture)]) {
                    // Costs are not negative, so the partner's new cost can
                    // only lower this gain.
                    if (now + costs[size_t(u)] - c.cost <= bestGain)
                        continue;
                    const Candidate *theirs = candidate(u, current);
                    if (!theirs)
                        continue;
                    const int64_t gain = now + costs[size_t(u)] - c.cost - theirs->cost;
                    if (gain > bestGain && !UsedNear(t, c.picture, u) && !UsedNear(u, current, t)) {
                        bestGain = gain;
                        best = &c;
                        partner = u;
                        partnerTakes = theirs;
                    }
                }
            }
            if (!best)
                continue;
            if (partner >= 0) {
                show(partner, *partnerTakes);
            } else {
                --counts[size_t(current)];
                ++counts[size_t(best->picture)];
            }
            show(t, *best);
            moved = true;
        }
        if (!moved)
            break;
    }
    return true;
}
