#include "engine/Arrangement.h"

#include <algorithm>
#include <climits>
#include <queue>

namespace {
// Candidates asked for at once when a list is lengthened.
constexpr int MoreAtOnce = 64;
// Passes of moves and exchanges after the spaced choice.
constexpr int MovePasses = 8;
// How often a long loop looks at the stop flag.
constexpr int StopCheckInterval = 1024;
// Rounds of lengthening the lists that keep the bound from proving the sum.
constexpr int LengtheningRounds = 1;
}   // namespace

Arrangement::Arrangement(int columns, int rows, int pictures, int uses, int spacing)
    : columns(columns), rows(rows), tiles(columns * rows), pictures(pictures), uses(std::max(uses, 0)),
      spacing(spacing), lists(size_t(tiles)), unlisted(size_t(tiles), NoBound), chosen(size_t(tiles), -1),
      rotations(size_t(tiles), Rotation::Unturned)
{}

void Arrangement::SetCandidates(int tile, const Candidate *list, int count, int64_t bound)
{
    lists[size_t(tile)].assign(list, list + count);
    unlisted[size_t(tile)] = bound;
}

bool Arrangement::Solve(const std::atomic<bool> &keepRunning, const MoreCandidates &more)
{
    sum = bound = 0;
    filled = 0;
    std::fill(chosen.begin(), chosen.end(), -1);
    if (tiles == 0 || pictures == 0 || uses == 0)
        return true;
    // When the uses cannot fill every tile, staying empty is one more
    // picture, free of cost, with a use for each tile that must.
    escapeUses = int(std::max<int64_t>(0, int64_t(tiles) - int64_t(pictures) * uses));
    const size_t nodes = size_t(tiles) + size_t(pictures) + 2;
    distance.assign(nodes, 0);
    parent.assign(nodes, -1);
    stamp.assign(nodes, -1);
    std::vector<int32_t> excluded;
    const auto listed = [&](int t) {
        excluded.clear();
        for (const Candidate &c : lists[size_t(t)])
            excluded.push_back(c.picture);
        std::sort(excluded.begin(), excluded.end());
        return excluded;
    };
    const auto listedOrFull = [&](int t) {
        listed(t);
        for (int32_t p = 0; p < pictures; ++p)
            if (int(holders[size_t(p)].size()) == uses)
                excluded.push_back(p);
        std::sort(excluded.begin(), excluded.end());
        excluded.erase(std::unique(excluded.begin(), excluded.end()), excluded.end());
        return excluded;
    };
    for (int round = 0;; ++round) {
        assigned.assign(size_t(tiles), -1);
        assignedCost.assign(size_t(tiles), 0);
        holders.assign(size_t(pictures) + 1, {});
        potential.assign(nodes, 0);
        TakeCheapest();
        for (int t = 0; t < tiles; ++t) {
            if (t % StopCheckInterval == 0 && !keepRunning.load(std::memory_order_relaxed))
                return false;
            // A tile that cannot reach a free use never will, as more tiles
            // only take uses: it asks for the best pictures that have one
            // left, or stays empty.
            while (assigned[size_t(t)] < 0 && !Augment(t) && Lengthen(t, listedOrFull(t), more)) {}
        }
        // The lists whose unlisted pictures might be cheaper at these prices
        // are lengthened, and the tiles arranged again.
        bool lengthened = false;
        for (int t = 0; round < LengtheningRounds && t < tiles; ++t)
            if (unlisted[size_t(t)] != NoBound && unlisted[size_t(t)] < LeastPricedCost(t))
                lengthened = Lengthen(t, listed(t), more) || lengthened;
        if (!lengthened)
            break;
    }
    ComputeBound();
    if (spacing > 0)
        return Space(keepRunning, more);
    for (int t = 0; t < tiles; ++t) {
        const int32_t p = assigned[size_t(t)];
        if (p < 0 || p == pictures)
            continue;
        for (const Candidate &c : lists[size_t(t)])
            if (c.picture == p)
                rotations[size_t(t)] = c.rotation;
        chosen[size_t(t)] = p;
        sum += assignedCost[size_t(t)];
        ++filled;
    }
    return true;
}

bool Arrangement::Lengthen(int tile, const std::vector<int32_t> &excluded, const MoreCandidates &more)
{
    if (!more || unlisted[size_t(tile)] == NoBound)
        return false;
    Candidate extra[MoreAtOnce];
    int64_t next = NoBound;
    const int n = more(tile, excluded, extra, MoreAtOnce, next);
    // Excluded pictures that are not listed cost no less than the bound
    // before, so that bound stays unless every picture is now listed.
    const bool onlyListed = excluded.size() == lists[size_t(tile)].size();
    lists[size_t(tile)].insert(lists[size_t(tile)].end(), extra, extra + n);
    if (onlyListed || next != NoBound)
        unlisted[size_t(tile)] = onlyListed ? next : std::min(unlisted[size_t(tile)], next);
    return n > 0;
}

// Every tile whose cheapest candidate has a use left takes it, in turn, as
// the search would, only without searching; a tile's price, minus its cost,
// keeps every arc of the search at zero or more. Not when staying empty is
// possible: that costs nothing, so a tile that took a picture is cheaper
// empty and would leave an arc below zero.
void Arrangement::TakeCheapest()
{
    if (escapeUses > 0)
        return;
    for (int t = 0; t < tiles; ++t) {
        const std::vector<Candidate> &list = lists[size_t(t)];
        const auto cheapest = std::min_element(list.begin(), list.end(),
                                               [](const Candidate &a, const Candidate &b) { return a.cost < b.cost; });
        if (cheapest == list.end() || int(holders[size_t(cheapest->picture)].size()) == uses)
            continue;
        Reassign(t, cheapest->picture, cheapest->cost);
        potential[size_t(t)] = -cheapest->cost;
    }
}

// Dijkstra's search from an unassigned tile over the arcs that can change:
// tile to a listed picture at its cost, picture back to one of its tiles at
// minus that tile's cost, picture with a use left to the sink. With the node
// prices every arc costs zero or more; the prices are then moved so that
// this stays true once the cheapest path is taken.
bool Arrangement::Augment(int tile)
{
    ++search;
    finished.clear();
    using Entry = std::pair<int64_t, int32_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue;
    const auto reach = [&](int32_t node, int64_t d, int32_t from) {
        if (stamp[size_t(node)] == search && distance[size_t(node)] <= d)
            return;
        stamp[size_t(node)] = search;
        distance[size_t(node)] = d;
        parent[size_t(node)] = from;
        queue.push({d, node});
    };
    reach(tile, 0, -1);
    const int32_t sink = Sink();
    bool found = false;
    while (!queue.empty()) {
        const auto [d, node] = queue.top();
        queue.pop();
        // Arcs cost zero or more, so a node is queued again only nearer,
        // and the older entry is stale.
        if (d > distance[size_t(node)])
            continue;
        finished.push_back(node);
        if (node == sink) {
            found = true;
            break;
        }
        const int64_t here = d + potential[size_t(node)];
        if (node < tiles) {
            for (const Candidate &c : lists[size_t(node)])
                if (c.picture != assigned[size_t(node)])
                    reach(PictureNode(c.picture), here + c.cost - potential[size_t(PictureNode(c.picture))], node);
            if (escapeUses > 0 && assigned[size_t(node)] != pictures)
                reach(PictureNode(pictures), here - potential[size_t(PictureNode(pictures))], node);
        } else {
            const int32_t picture = node - tiles;
            if (int(holders[size_t(picture)].size()) < Capacity(picture))
                reach(sink, here - potential[size_t(sink)], node);
            for (int32_t t : holders[size_t(picture)])
                reach(t, here - assignedCost[size_t(t)] - potential[size_t(t)], node);
        }
    }
    if (!found)
        return false;

    const int64_t total = distance[size_t(sink)];
    for (int32_t node : finished)
        potential[size_t(node)] += distance[size_t(node)] - total;
    for (int32_t node = parent[size_t(sink)]; node != -1;) {
        const int32_t t = parent[size_t(node)];
        const int32_t picture = node - tiles;
        int64_t cost = 0;
        for (const Candidate &c : lists[size_t(t)])
            if (c.picture == picture)
                cost = c.cost;
        const int32_t previous = assigned[size_t(t)];
        Reassign(t, picture, cost);
        node = previous < 0 ? -1 : PictureNode(previous);
    }
    return true;
}

void Arrangement::Reassign(int tile, int32_t picture, int64_t cost)
{
    const int32_t previous = assigned[size_t(tile)];
    if (previous >= 0) {
        std::vector<int32_t> &old = holders[size_t(previous)];
        old.erase(std::find(old.begin(), old.end(), tile));
    }
    holders[size_t(picture)].push_back(tile);
    assigned[size_t(tile)] = picture;
    assignedCost[size_t(tile)] = cost;
}

// The dual of a picture's uses limit: how much dearer than the sink its
// uses are, never below zero.
int64_t Arrangement::Lambda(int32_t picture) const
{
    return std::max<int64_t>(0, potential[size_t(Sink())] - potential[size_t(PictureNode(picture))]);
}

// The tile's least cost plus price over its list and staying empty.
int64_t Arrangement::LeastPricedCost(int tile) const
{
    int64_t least = escapeUses > 0 ? Lambda(pictures) : INT64_MAX;
    for (const Candidate &c : lists[size_t(tile)])
        least = std::min(least, c.cost + Lambda(c.picture));
    return least;
}

// For any prices lambda >= 0, the sum over tiles of each one's least cost
// plus price, less every picture's uses times its price, bounds every
// arrangement from below. A tile's unlisted pictures count at their bound,
// whatever their price.
void Arrangement::ComputeBound()
{
    __int128 total = 0;
    for (int t = 0; t < tiles; ++t)
        total += std::min(unlisted[size_t(t)] == NoBound ? INT64_MAX : unlisted[size_t(t)], LeastPricedCost(t));
    for (int32_t p = 0; p <= pictures; ++p)
        total -= __int128(Lambda(p)) * Capacity(p);
    bound = total <= 0 ? 0 : int64_t(total);
}

// Row by row, each tile takes the candidate of least cost plus price that no
// tile nearby uses and that has a use left; a tile whose whole list is taken
// asks for the best pictures outside it. Then the tiles move and exchange
// their pictures while that lowers the sum.
bool Arrangement::Space(const std::atomic<bool> &keepRunning, const MoreCandidates &more)
{
    std::vector<int64_t> lambdas(static_cast<size_t>(pictures));
    for (int32_t p = 0; p < pictures; ++p)
        lambdas[size_t(p)] = Lambda(p);
    std::fill(chosen.begin(), chosen.end(), -1);
    std::vector<int> counts(size_t(pictures), 0);
    std::vector<int32_t> marks(size_t(pictures), -1);
    std::vector<int32_t> excluded;
    std::vector<Candidate> extra(MoreAtOnce);
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
            const int64_t value = c.cost + lambdas[size_t(c.picture)];
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
            const int n = more(t, excluded, extra.data(), MoreAtOnce, next);
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
    for (int t = 0; t < tiles; ++t)
        if (chosen[size_t(t)] >= 0)
            shown[size_t(chosen[size_t(t)])].push_back(t);
    const auto show = [&](int tile, const Candidate &c) {
        const int32_t previous = chosen[size_t(tile)];
        std::vector<int32_t> &old = shown[size_t(previous)];
        old.erase(std::find(old.begin(), old.end(), tile));
        shown[size_t(c.picture)].push_back(tile);
        chosen[size_t(tile)] = c.picture;
        rotations[size_t(tile)] = c.rotation;
    };
    for (int pass = 0; pass < MovePasses; ++pass) {
        bool moved = false;
        for (int t = 0; t < tiles; ++t) {
            if (t % StopCheckInterval == 0 && !keepRunning.load(std::memory_order_relaxed))
                return false;
            const int32_t current = chosen[size_t(t)];
            if (current < 0)
                continue;
            const int64_t now = Find(t, current)->cost;
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
                    const Candidate *theirs = Find(u, current);
                    if (!theirs)
                        continue;
                    const int64_t gain = now + Find(u, c.picture)->cost - c.cost - theirs->cost;
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
