#include "exact_network_multiserver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

#include "../pmf/distributions.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

using EN = ExactNetworkMultiserver;

namespace {

// Keys of the smaller gatherings (resets, assignments, caches): the Ints of a key as
// bytes, so that the standard string hash serves. Sorted with keyLess, Int by Int.
using Key = std::string;
using Multisets = std::vector<std::pair<std::vector<Int>, double>>;

// Mass the tail rule may cut from a step's result.
constexpr double kTailMass = 1e-9;

void appendInts(Key& k, const Int* p, size_t n) {
    k.append(reinterpret_cast<const char*>(p), n * sizeof(Int));
}
void appendInt(Key& k, Int v) { appendInts(k, &v, 1); }
size_t intsOf(const Key& k) { return k.size() / sizeof(Int); }

// Adds w under key. Not operator[]: that would export the standard library's
// piecewise_construct from the module, whose only export is its entry point.
template <class Map, class K>
void addTo(Map& m, K&& key, double w) {
    auto found = m.find(key);
    if (found != m.end())
        found->second += w;
    else
        m.emplace(std::forward<K>(key), w);
}

// The entries of a simple PMF with positive probability, ascending.
std::vector<std::pair<Int, double>> positiveEntries(Pmf* p) {
    std::vector<std::pair<Int, double>> out;
    for (Int k = 0; k < p->simple.length; k++)
        if (p->simple.elements[k] > 0)
            out.emplace_back(p->simple.offset + k, p->simple.elements[k]);
    if (out.empty()) fail(msg::EmptyPmf);
    return out;
}

double binomialCoefficient(Int n, Int k) {
    double r = 1;
    for (Int t = 1; t <= k; t++) r = r * double(n - k + t) / double(t);
    return r;
}

// Number of multisets of k draws from `values` distinct values.
double multisetCount(Int k, size_t values) {
    return binomialCoefficient(k + Int(values) - 1, Int(values) - 1);
}

// One node's exact state inside a key: z, then b remaining times from r.
struct NodeView {
    Int z, b;
    const Int* r;
};

// Parses node after node; false if the key is malformed.
bool parseKey(const Int* key, int64_t length, Int nodes, NodeView* out) {
    int64_t pos = 0;
    for (Int i = 0; i < nodes; i++) {
        if (pos + 2 > length) return false;
        const Int z = key[pos], b = key[pos + 1];
        if (z < 0 || b < 0 || b > z || pos + 2 + b > length) return false;
        out[i] = {z, b, key + pos + 2};
        pos += 2 + b;
    }
    return pos == length;
}

// The order of stored states: keys compared Int by Int. Padding a node's part with zeros
// after its remaining times keeps this order, as b comes before them.
int compareKeys(const Int* a, int64_t la, const Int* b, int64_t lb) {
    const int64_t common = std::min(la, lb);
    for (int64_t i = 0; i < common; i++)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return la < lb ? -1 : (la > lb ? 1 : 0);
}

bool keyLess(const Key& a, const Key& b) {
    const size_t na = intsOf(a), nb = intsOf(b);
    for (size_t i = 0; i < std::min(na, nb); i++) {
        Int x, y;
        std::memcpy(&x, a.data() + i * sizeof(Int), sizeof(Int));
        std::memcpy(&y, b.data() + i * sizeof(Int), sizeof(Int));
        if (x != y) return x < y;
    }
    return na < nb;
}

// The tail rule on probabilities in key order: the least probable states are dropped
// while their total stays within kTailMass of the whole, ties broken by key order so that
// the cut is the same on every run. Only states at or below that mass can go.
std::vector<bool> tailCut(const std::vector<double>& probabilities) {
    double total = 0;
    for (double p : probabilities) total += p;
    const double threshold = kTailMass * total;
    std::vector<size_t> candidates;
    for (size_t i = 0; i < probabilities.size(); i++)
        if (probabilities[i] <= threshold) candidates.push_back(i);
    std::sort(candidates.begin(), candidates.end(), [&](size_t a, size_t b) {
        return probabilities[a] != probabilities[b] ? probabilities[a] < probabilities[b] : a < b;
    });
    std::vector<bool> drop(probabilities.size(), false);
    double dropped = 0;
    for (size_t i : candidates) {
        if (dropped + probabilities[i] > threshold) break;
        dropped += probabilities[i];
        drop[i] = true;
    }
    return drop;
}

// The stored form of entries sorted by key, each probability divided by total. The limit
// is checked before anything is allocated.
ExactJointState* storeState(MovraObject* obj, Int nodes,
                            const std::vector<std::pair<const Key*, double>>& entries, double total,
                            const char* what, int64_t limit) {
    const int64_t count = int64_t(entries.size());
    if (count > limit) failTooManyStates(what, double(count), false, limit);
    int64_t words = 0;
    for (const auto& e : entries) words += int64_t(intsOf(*e.first));
    const size_t bytes = offsetof(ExactJointState, data) + size_t(count) * sizeof(double) +
                         size_t(count + 1) * sizeof(int64_t) + size_t(words) * sizeof(Int);
    auto* s = static_cast<ExactJointState*>(movraMalloc(obj, bytes));
    s->nodes = nodes;
    s->count = count;
    s->words = words;
    int64_t at = 0;
    for (int64_t i = 0; i < count; i++) {
        s->probabilities()[i] = entries[size_t(i)].second / total;
        s->offsets()[i] = at;
        const Key& k = *entries[size_t(i)].first;
        std::memcpy(s->keys() + at, k.data(), k.size());
        at += int64_t(intsOf(k));
    }
    s->offsets()[count] = at;
    return s;
}

// Sorts a gathered result by key and stores it normalised, after the tail rule if cut.
ExactJointState* finish(MovraObject* obj, Int nodes,
                        std::vector<std::pair<const Key*, double>>& entries, bool cut,
                        const char* what, int64_t limit) {
    if (entries.empty()) fail(msg::EmptyPmf);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return keyLess(*a.first, *b.first); });
    if (cut) {
        std::vector<double> probabilities;
        for (const auto& e : entries) probabilities.push_back(e.second);
        const std::vector<bool> drop = tailCut(probabilities);
        size_t kept = 0;
        for (size_t i = 0; i < entries.size(); i++)
            if (!drop[i]) entries[kept++] = entries[i];
        entries.resize(kept);
    }
    double total = 0;
    for (const auto& e : entries) total += e.second;
    return storeState(obj, nodes, entries, total, what, limit);
}

ExactJointState* finish(MovraObject* obj, Int nodes,
                        const std::unordered_map<Key, double>& gathered, bool cut, const char* what,
                        int64_t limit) {
    std::vector<std::pair<const Key*, double>> entries;
    entries.reserve(gathered.size());
    for (const auto& e : gathered)
        if (e.second > 0) entries.emplace_back(&e.first, e.second);
    return finish(obj, nodes, entries, cut, what, limit);
}

// The successors of a step, gathered under keys padded to a fixed width (each node's part
// as wide as the most servers it can keep busy), so that a key is a row of one flat
// array and the table holds no allocation per key.
class GatherTable {
public:
    explicit GatherTable(size_t width) : width_(width) { rehash(1024); }

    void add(const Int* key, double w) {
        const uint64_t h = hash(key);
        size_t slot = size_t(h) & mask_;
        for (;;) {
            const int64_t at = slots_[slot];
            if (at < 0) break;
            if (hashes_[size_t(at)] == h &&
                std::memcmp(&keys_[size_t(at) * width_], key, width_ * sizeof(Int)) == 0) {
                weights_[size_t(at)] += w;
                return;
            }
            slot = (slot + 1) & mask_;
        }
        slots_[slot] = int64_t(weights_.size());
        keys_.insert(keys_.end(), key, key + width_);
        weights_.push_back(w);
        hashes_.push_back(h);
        if (2 * weights_.size() > slots_.size()) rehash(2 * slots_.size());
    }

    size_t size() const { return weights_.size(); }
    const Int* key(size_t i) const { return &keys_[i * width_]; }
    double weight(size_t i) const { return weights_[i]; }

private:
    uint64_t hash(const Int* key) const {
        uint64_t h = 0x9E3779B97F4A7C15ull;
        for (size_t i = 0; i < width_; i++) {
            h ^= uint32_t(key[i]);
            h *= 0xBF58476D1CE4E5B9ull;
            h ^= h >> 29;
        }
        return h ^ (h >> 32);
    }
    void rehash(size_t count) {
        slots_.assign(count, -1);
        mask_ = count - 1;
        for (size_t i = 0; i < hashes_.size(); i++) {
            size_t slot = size_t(hashes_[i]) & mask_;
            while (slots_[slot] >= 0) slot = (slot + 1) & mask_;
            slots_[slot] = int64_t(i);
        }
    }

    size_t width_;
    size_t mask_ = 0;
    std::vector<Int> keys_;
    std::vector<double> weights_;
    std::vector<uint64_t> hashes_;
    std::vector<int64_t> slots_;
};

// A node's exact states after a step, each padded to the node's width, with probabilities.
struct NodeList {
    std::vector<Int> keys;
    std::vector<double> probabilities;
};

// Per node, what one step needs of its configuration, and the successor lists already
// formed (they depend on the node alone, not on the rest of the joint state).
// The Ints a step may hold in the keys it lists and gathers, per allowed state: a
// gathered entry at the entry limit may average 64 of them (a node of a few busy servers
// takes 2 + b), while a node of 10**5 busy servers with many arrival counts would
// otherwise list gigabytes of keys before the count of states is known.
constexpr double kStepWordsPerState = 256;

double stepWordBudget(int64_t maxStates) { return kStepWordsPerState * double(maxStates); }

struct NodeStep {
    Int servers = 0;
    size_t width = 2;  // z, b and room for the most busy servers the node can hold
    std::vector<std::pair<Int, double>> arrivals, service;
    // fresh[k]: the multisets of k fresh service durations, sorted, with probabilities.
    std::vector<Multisets> fresh;
    double freshWords = 0;  // Ints held by the multisets of fresh, a bound on their cost
    double listedWords = 0;  // Ints held by the keys of successors
    std::unordered_map<Key, NodeList> successors;
    // The last list asked for: states in key order often repeat a node's part.
    Int lastW = -1;
    std::vector<Int> lastBusy;
    const NodeList* last = nullptr;
};

const Multisets& freshDraws(NodeStep& node, Int k, const char* what, int64_t limit) {
    if (node.fresh.empty()) node.fresh.push_back({{{}, 1.0}});
    while (Int(node.fresh.size()) <= k) {
        const Int m = Int(node.fresh.size());
        const double count = multisetCount(m, node.service.size());
        if (count > double(limit)) failTooManyStates(what, count, true, limit);
        // Each table is built from the one before, so many servers starting at once cost
        // the sum of all: bounded with the limit, not left to run for hours.
        node.freshWords += count * double(m);
        if (node.freshWords > 16.0 * double(limit)) failTooManyStarts(what, m, limit);
        std::map<std::vector<Int>, double> next;
        for (const auto& [multiset, p] : node.fresh.back())
            for (const auto& [duration, q] : node.service) {
                std::vector<Int> grown = multiset;
                grown.insert(std::upper_bound(grown.begin(), grown.end(), duration), duration);
                addTo(next, std::move(grown), p * q);
            }
        node.fresh.emplace_back(next.begin(), next.end());
    }
    return node.fresh[size_t(k)];
}

// The node's exact states after the step, from the w entities left after completions and
// routed arrivals and the busy servers' remaining times after the countdown: external
// arrivals join, then idle servers take waiting entities with fresh durations.
const NodeList& formSuccessors(NodeStep& node, Int w, const std::vector<Int>& busy,
                               const char* what, int64_t limit);

const NodeList& nodeSuccessors(NodeStep& node, Int w, const std::vector<Int>& busy,
                               const char* what, int64_t limit) {
    if (node.last != nullptr && node.lastW == w && node.lastBusy == busy) return *node.last;
    node.last = &formSuccessors(node, w, busy, what, limit);
    node.lastW = w;
    node.lastBusy = busy;
    return *node.last;
}

const NodeList& formSuccessors(NodeStep& node, Int w, const std::vector<Int>& busy,
                               const char* what, int64_t limit) {
    Key cacheKey;
    appendInt(cacheKey, w);
    appendInts(cacheKey, busy.data(), busy.size());
    auto found = node.successors.find(cacheKey);
    if (found != node.successors.end()) return found->second;
    NodeList list;
    const int64_t b = int64_t(busy.size());
    for (const auto& [a, pa] : node.arrivals) {
        const int64_t z = int64_t(w) + a;
        if (z > INT32_MAX) fail(msg::InvalidValue);
        const int64_t starters = std::max<int64_t>(0, std::min<int64_t>(node.servers - b, z - b));
        for (const auto& [drawn, pf] : freshDraws(node, Int(starters), what, limit)) {
            node.listedWords += double(node.width);
            if (node.listedWords > stepWordBudget(limit)) fail(msg::OutOfMemory);
            const size_t at = list.keys.size();
            list.keys.resize(at + node.width, 0);
            Int* k = &list.keys[at];
            k[0] = Int(z);
            k[1] = Int(busy.size() + drawn.size());
            if (2 + busy.size() + drawn.size() > node.width) failInternal();
            std::merge(busy.begin(), busy.end(), drawn.begin(), drawn.end(), k + 2);
            list.probabilities.push_back(pa * pf);
        }
    }
    return node.successors.emplace(std::move(cacheKey), std::move(list)).first->second;
}

// Distribution of the vector of arrivals routed to each node, given each node's number of
// completions: each completion at i goes to j with routing (i, j), or leaves.
class Routing {
public:
    Routing(EN* self, Int nodes) : nodes_(nodes), rows_(size_t(nodes)), out_(size_t(nodes)) {
        for (Int i = 0; i < nodes; i++) {
            Int count;
            const SparseEntry* entries = rowEntries(self->_routingProbabilities, i, count);
            // A row without routes splits nothing: it stays empty, and all completions leave.
            double sum = 0;
            if (count > 0) {
                rows_[size_t(i)].assign(size_t(nodes), 0.0);
                for (Int k = 0; k < count; k++) {
                    rows_[size_t(i)][size_t(entries[k].column)] = entries[k].value;
                    sum += entries[k].value;
                }
            }
            out_[size_t(i)] = std::max(0.0, 1.0 - sum);
        }
    }

    const Multisets& inflows(const std::vector<Int>& completions) {
        if (last_ != nullptr && lastCompletions_ == completions) return *last_;
        last_ = &form(completions);
        lastCompletions_ = completions;
        return *last_;
    }

private:
    const Multisets& form(const std::vector<Int>& completions) {
        Key key;
        appendInts(key, completions.data(), completions.size());
        auto found = cache_.find(key);
        if (found != cache_.end()) return found->second;
        std::map<std::vector<Int>, double> dist{{std::vector<Int>(size_t(nodes_), 0), 1.0}};
        for (Int i = 0; i < nodes_; i++) {
            if (completions[size_t(i)] == 0) continue;
            Multisets parts;
            std::vector<Int> split(size_t(nodes_), 0);
            bool overflow = false;
            splits(i, 0, completions[size_t(i)], 1.0, split, parts, overflow);
            if (overflow) {
                parts.clear();
                std::fill(split.begin(), split.end(), 0);
                stableSplits(i, 0, completions[size_t(i)], 1.0, logs_.upTo(completions[size_t(i)]),
                             split, parts);
            }
            std::map<std::vector<Int>, double> next;
            for (const auto& [u, p] : dist)
                for (const auto& [s, q] : parts) {
                    std::vector<Int> sum = u;
                    for (size_t j = 0; j < sum.size(); j++) sum[j] += s[j];
                    addTo(next, std::move(sum), p * q);
                }
            dist.swap(next);
        }
        return cache_.emplace(std::move(key), Multisets(dist.begin(), dist.end())).first->second;
    }

    // The multinomial split of `left` completions of node i over destinations j and on;
    // overflow set, and the split abandoned, where a coefficient it needs is infinite.
    void splits(Int i, Int j, Int left, double p, std::vector<Int>& split, Multisets& out,
                bool& overflow) {
        if (j == nodes_) {
            double q = p;
            for (Int t = 0; t < left; t++) q *= out_[size_t(i)];
            if (q > 0) out.emplace_back(split, q);
            return;
        }
        const double r = rows_[size_t(i)].empty() ? 0.0 : rows_[size_t(i)][size_t(j)];
        double power = 1;
        for (Int n = 0; n <= left; n++) {
            if (n > 0) {
                power *= r;
                if (!(power > 0)) break;
            }
            const double coefficient = binomialCoefficient(left, n);
            if (!std::isfinite(coefficient)) {
                overflow = true;
                return;
            }
            split[size_t(j)] = n;
            splits(i, j + 1, left - n, p * coefficient * power, split, out, overflow);
            if (overflow) return;
        }
        split[size_t(j)] = 0;
    }

    // The same split where the coefficients overflow (some hundreds of completions): a
    // binomial per destination of those still to place, with the share of their
    // probability that destination takes, from the models' one binomial (its recursion
    // runs in logarithms). logs[k] = log(k) up to the completions split.
    void stableSplits(Int i, Int j, Int left, double p, const Real* logs, std::vector<Int>& split,
                      Multisets& out) {
        if (j == nodes_) {
            if ((left == 0 || out_[size_t(i)] > 0) && p > 0) out.emplace_back(split, p);
            return;
        }
        const std::vector<double>& row = rows_[size_t(i)];
        double rest = out_[size_t(i)];
        for (size_t k = size_t(j); k < row.size(); k++) rest += row[k];
        const double share = row.empty() || !(rest > 0) ? 0.0 : std::min(row[size_t(j)] / rest, 1.0);
        if (!(share > 0) || share >= 1) {
            split[size_t(j)] = share >= 1 ? left : 0;
            stableSplits(i, j + 1, share >= 1 ? 0 : left, p, logs, split, out);
            split[size_t(j)] = 0;
            return;
        }
        std::vector<Real> binomial(size_t(left) + 1);
        BinomialRecursion(share).writeRow(left, logs, binomial.data());
        for (Int n = 0; n <= left; n++) {
            const double q = p * binomial[size_t(n)];
            if (!(q > 0)) continue;
            split[size_t(j)] = n;
            stableSplits(i, j + 1, left - n, q, logs, split, out);
        }
        split[size_t(j)] = 0;
    }

    Int nodes_;
    std::vector<std::vector<double>> rows_;
    std::vector<double> out_;
    std::unordered_map<Key, Multisets> cache_;
    std::vector<Int> lastCompletions_;
    const Multisets* last_ = nullptr;
    IntegerLogs logs_;
};

}  // namespace

// The messages carrying numbers: formatted into storage of this thread, read by the call
// protocol (on this thread) before anything else can fail.
static thread_local char limitText[320];

void failTooManyStarts(const char* what, Int starting, int64_t limit) {
    std::snprintf(
        limitText, sizeof limitText,
        "Too many joint states: %s starts %d services at once at one node, more than max_states = "
        "%lld "
        "allows. Use StandardNetworkMultiserver for a network this large, or raise max_states.",
        what, int(starting), static_cast<long long>(limit));
    fail(limitText);
}

void failTooManyStates(const char* what, double needed, bool atLeast, int64_t limit) {
    std::snprintf(limitText, sizeof limitText,
                  "Too many joint states: %s needs %s%.0f, above max_states = %lld. "
                  "Use StandardNetworkMultiserver for a network this large, or raise max_states.",
                  what, atLeast ? "more than " : "", needed, static_cast<long long>(limit));
    fail(limitText);
}

void EN::memRelease(MovraObject* obj) {
    configuration::flagRoots(*reinterpret_cast<EN*>(obj));
    release(obj);
}

// Every node empty: z = 0 and no busy server at each.
void setNodeDefault(MovraObject* obj, ExactJointState*& field, FieldKind, Int n) {
    Key k;
    for (Int i = 0; i < n; i++) {
        appendInt(k, 0);
        appendInt(k, 0);
    }
    field = storeState(obj, n, {{&k, 1.0}}, 1.0, "", INT64_MAX);
}

void EN::defaults() {
    _maxStates = kDefaultNetworkMaxStates;
    _lastStepEntries = 0;
    init(1);
}

void EN::init(Int _numberOfNodes) {
    if (_numberOfNodes <= 0) fail(msg::InvalidNumberOfNodes);
    configuration::setNodeDefaults(*this, _numberOfNodes);
}

void EN::setMaxStates(int64_t _limit) {
    if (_limit < 1) fail(msg::InvalidValue);
    _maxStates = _limit;
}

void EN::step() {
    const Int n = getNumberOfNodes();
    for (Int s = 0; s < n; s++) {
        Int count;
        const SparseEntry* entries = rowEntries(_routingProbabilities, s, count);
        double sum = 0;
        for (Int k = 0; k < count; k++) sum += entries[k].value;
        if (sum > 1) fail(msg::InvalidRouting);
    }
    const char* what = "the step";
    // A result is refused once its gathering passes this, before the tail cut is known.
    const int64_t gatherLimit =
        _maxStates > (INT64_MAX - 1024) / 4 ? INT64_MAX : 4 * _maxStates + 1024;
    const double wordBudget = stepWordBudget(_maxStates);
    std::vector<NodeStep> nodes(static_cast<size_t>(n));
    for (Int i = 0; i < n; i++) {
        NodeStep& node = nodes[size_t(i)];
        node.servers = lookup(_numberOfServers, i);
        node.arrivals = positiveEntries(lookup(_numberOfExternalArrivalsPmfs, i));
        node.service = positiveEntries(lookup(_serviceDurationPmfs, i));
    }
    Routing routes(this, n);
    ExactJointState* s = _state;
    std::vector<NodeView> view(static_cast<size_t>(n));
    // Busy servers after the step are at most max(b now, min(servers, z after the step)),
    // and z after the step at most z now, every completion routed here and the most
    // arrivals: a key needs no more room than that, however many servers a node has.
    std::vector<int64_t> mostZ(static_cast<size_t>(n), 0), mostB(static_cast<size_t>(n), 0);
    int64_t mostCompletions = 0;
    for (int64_t j = 0; j < s->count; j++) {
        if (!parseKey(s->key(j), s->offsets()[j + 1] - s->offsets()[j], n, view.data()))
            failInternal();
        int64_t busyHere = 0;
        for (Int i = 0; i < n; i++) {
            mostZ[size_t(i)] = std::max<int64_t>(mostZ[size_t(i)], view[size_t(i)].z);
            mostB[size_t(i)] = std::max<int64_t>(mostB[size_t(i)], view[size_t(i)].b);
            busyHere += view[size_t(i)].b;
        }
        mostCompletions = std::max(mostCompletions, busyHere);
    }
    for (Int i = 0; i < n; i++) {
        NodeStep& node = nodes[size_t(i)];
        const int64_t mostAfter = mostZ[size_t(i)] + mostCompletions + node.arrivals.back().first;
        node.width =
            size_t(2 + std::max(mostB[size_t(i)], std::min<int64_t>(node.servers, mostAfter)));
    }
    std::vector<size_t> start(static_cast<size_t>(n) + 1, 0);
    for (Int i = 0; i < n; i++) start[size_t(i) + 1] = start[size_t(i)] + nodes[size_t(i)].width;
    GatherTable next(start[size_t(n)]);
    std::vector<Int> completions(static_cast<size_t>(n)), left(static_cast<size_t>(n));
    std::vector<std::vector<Int>> busy(static_cast<size_t>(n));
    std::vector<const NodeList*> lists(static_cast<size_t>(n));
    std::vector<Int> buffer(start[size_t(n)]);
    int64_t entries = 0;
    // Adds the product of one entry per node's list, node after node.
    auto gather = [&](auto&& self, size_t i, double weight) -> void {
        if (i == size_t(n)) {
            entries++;
            next.add(buffer.data(), weight);
            if (double(next.size()) * double(start[size_t(n)]) > wordBudget) fail(msg::OutOfMemory);
            return;
        }
        const NodeList& list = *lists[i];
        const size_t width = nodes[i].width;
        for (size_t e = 0; e < list.probabilities.size(); e++) {
            std::memcpy(&buffer[start[i]], &list.keys[e * width], width * sizeof(Int));
            self(self, i + 1, weight * list.probabilities[e]);
        }
    };
    for (int64_t j = 0; j < s->count; j++) {
        const Int* key = s->key(j);
        if (!parseKey(key, s->offsets()[j + 1] - s->offsets()[j], n, view.data())) failInternal();
        for (Int i = 0; i < n; i++) {
            const NodeView& v = view[size_t(i)];
            Int done = 0;
            while (done < v.b && v.r[done] == 1) done++;
            completions[size_t(i)] = done;
            left[size_t(i)] = v.z - done;
            busy[size_t(i)].assign(v.r + done, v.r + v.b);
            for (Int& r : busy[size_t(i)]) r -= 1;
        }
        for (const auto& [inflow, pu] : routes.inflows(completions)) {
            for (Int i = 0; i < n; i++) {
                const int64_t w = int64_t(left[size_t(i)]) + inflow[size_t(i)];
                if (w > INT32_MAX) fail(msg::InvalidValue);
                lists[size_t(i)] =
                    &nodeSuccessors(nodes[size_t(i)], Int(w), busy[size_t(i)], what, _maxStates);
            }
            gather(gather, 0, s->probabilities()[j] * pu);
            if (int64_t(next.size()) > gatherLimit)
                failTooManyStates(what, double(gatherLimit), true, _maxStates);
        }
    }
    // Sorted and cut on the padded keys, whose order is that of the stored ones; the
    // padding is dropped as they are stored.
    const size_t width = start[size_t(n)];
    std::vector<size_t> order;
    order.reserve(next.size());
    for (size_t e = 0; e < next.size(); e++)
        if (next.weight(e) > 0) order.push_back(e);
    if (order.empty()) fail(msg::EmptyPmf);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return compareKeys(next.key(a), int64_t(width), next.key(b), int64_t(width)) < 0;
    });
    std::vector<double> probabilities(order.size());
    for (size_t i = 0; i < order.size(); i++) probabilities[i] = next.weight(order[i]);
    const std::vector<bool> drop = tailCut(probabilities);
    int64_t count = 0, words = 0;
    double total = 0;
    for (size_t i = 0; i < order.size(); i++) {
        if (drop[i]) continue;
        count++;
        total += probabilities[i];
        for (Int t = 0; t < n; t++) words += 2 + next.key(order[i])[start[size_t(t)] + 1];
    }
    if (count > _maxStates) failTooManyStates(what, double(count), false, _maxStates);
    const size_t bytes = offsetof(ExactJointState, data) + size_t(count) * sizeof(double) +
                         size_t(count + 1) * sizeof(int64_t) + size_t(words) * sizeof(Int);
    auto* stored = static_cast<ExactJointState*>(movraMalloc(arena(), bytes));
    stored->nodes = n;
    stored->count = count;
    stored->words = words;
    int64_t j = 0, at = 0;
    for (size_t i = 0; i < order.size(); i++) {
        if (drop[i]) continue;
        stored->probabilities()[j] = probabilities[i] / total;
        stored->offsets()[j] = at;
        const Int* padded = next.key(order[i]);
        for (Int t = 0; t < n; t++) {
            const Int* part = padded + start[size_t(t)];
            std::memcpy(stored->keys() + at, part, size_t(2 + part[1]) * sizeof(Int));
            at += 2 + part[1];
        }
        j++;
    }
    stored->offsets()[count] = at;
    _state = stored;
    _time = Int(uint32_t(_time) + 1u);
    _lastStepEntries = entries;
}

void EN::resetNodeWithNumberOfEntities(Int _nodeIndex, Int _numberOfEntitiesAtNode) {
    if (_numberOfEntitiesAtNode < 0) fail(msg::InvalidNumberOfEntities);
    const Int servers = lookup(_numberOfServers, _nodeIndex);
    NodeStep node;
    node.service = positiveEntries(lookup(_serviceDurationPmfs, _nodeIndex));
    const Int n = getNumberOfNodes();
    const Int b = std::min(_numberOfEntitiesAtNode, servers);
    // The other nodes' joint marginal, keyed by the key without this node, with the
    // length of the part before it.
    std::unordered_map<Key, std::pair<double, size_t>> others;
    std::vector<NodeView> view(static_cast<size_t>(n));
    ExactJointState* s = _state;
    for (int64_t j = 0; j < s->count; j++) {
        const Int* key = s->key(j);
        const int64_t length = s->offsets()[j + 1] - s->offsets()[j];
        if (!parseKey(key, length, n, view.data())) failInternal();
        const int64_t before = view[size_t(_nodeIndex)].r - 2 - key;
        const int64_t after = before + 2 + view[size_t(_nodeIndex)].b;
        Key rest;
        appendInts(rest, key, size_t(before));
        appendInts(rest, key + after, size_t(length - after));
        auto found = others.find(rest);
        if (found != others.end())
            found->second.first += s->probabilities()[j];
        else
            others.emplace(std::move(rest),
                           std::make_pair(s->probabilities()[j], size_t(before) * sizeof(Int)));
    }
    const char* what = "the reset";
    const double needed = double(others.size()) * multisetCount(b, node.service.size());
    if (needed > double(_maxStates)) failTooManyStates(what, needed, false, _maxStates);
    std::vector<std::pair<const Key*, std::pair<double, size_t>>> sorted;
    for (const auto& e : others) sorted.emplace_back(&e.first, e.second);
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& x, const auto& y) { return keyLess(*x.first, *y.first); });
    std::unordered_map<Key, double> result;
    for (const auto& [rest, pm] : sorted)
        for (const auto& [drawn, pf] : freshDraws(node, b, what, _maxStates)) {
            Key k(*rest, 0, pm.second);
            appendInt(k, _numberOfEntitiesAtNode);
            appendInt(k, b);
            appendInts(k, drawn.data(), drawn.size());
            k.append(*rest, pm.second, Key::npos);
            addTo(result, std::move(k), pm.first * pf);
        }
    _state = finish(arena(), n, result, false, what, _maxStates);
}

void EN::applyObservationRangeAtNode(Int _nodeIndex, Int _startOfRange, Int _endOfRange) {
    lookup(_numberOfServers, _nodeIndex);
    const Int n = getNumberOfNodes();
    std::vector<NodeView> view(static_cast<size_t>(n));
    ExactJointState* s = _state;
    std::vector<Key> keys;
    std::vector<std::pair<const Key*, double>> kept;
    std::vector<double> weights;
    for (int64_t j = 0; j < s->count; j++) {
        const Int* key = s->key(j);
        const int64_t length = s->offsets()[j + 1] - s->offsets()[j];
        if (!parseKey(key, length, n, view.data())) failInternal();
        const Int z = view[size_t(_nodeIndex)].z;
        if (z < _startOfRange || z >= _endOfRange) continue;
        keys.emplace_back(reinterpret_cast<const char*>(key), size_t(length) * sizeof(Int));
        weights.push_back(s->probabilities()[j]);
    }
    if (keys.empty()) fail(msg::EmptyPmf);
    double total = 0;
    for (size_t i = 0; i < keys.size(); i++) {
        kept.emplace_back(&keys[i], weights[i]);
        total += weights[i];
    }
    // Already sorted: a subset of a stored state keeps its order.
    _state = storeState(arena(), n, kept, total, "the observation", INT64_MAX);
}

void EN::applyObservationValueAtNode(Int _nodeIndex, Int _value) {
    // The range of width one, without overflow at the top of the Int range.
    if (_value == INT32_MAX) {
        lookup(_numberOfServers, _nodeIndex);
        fail(msg::EmptyPmf);
    }
    applyObservationRangeAtNode(_nodeIndex, _value, _value + 1);
}

// A simple PMF from probabilities by value (gathered in a map), normalised.
static Pmf* simpleFrom(MovraObject* obj, const std::map<Int, double>& byValue) {
    const Int first = byValue.begin()->first, last = byValue.rbegin()->first;
    // The record is dense: from 0 to the top of the Int range is one value too many.
    const int64_t length = int64_t(last) - first + 1;
    if (length > INT32_MAX) fail(msg::OutOfMemory);
    double total = 0;
    for (const auto& e : byValue) total += e.second;
    Pmf* p = allocateSimplePmf(obj, first, Int(length));
    for (const auto& [value, q] : byValue) p->simple.elements[value - first] = q / total;
    return p;
}

namespace {
// Calls visit(view, p) for every stored joint state in stored order: its key parsed into
// view node by node, and its probability.
template <class Visit>
void forEachState(ExactJointState* s, Visit&& visit) {
    std::vector<NodeView> view(static_cast<size_t>(s->nodes));
    for (int64_t j = 0; j < s->count; j++) {
        if (!parseKey(s->key(j), s->offsets()[j + 1] - s->offsets()[j], s->nodes, view.data()))
            failInternal();
        visit(static_cast<const std::vector<NodeView>&>(view), s->probabilities()[j]);
    }
}

// The entries in key order, each divided by their total.
Multisets normalised(const std::map<std::vector<Int>, double>& byKey) {
    double total = 0;
    for (const auto& e : byKey) total += e.second;
    Multisets out;
    for (const auto& [key, q] : byKey) out.emplace_back(key, q / total);
    return out;
}
}  // namespace

Pmf* EN::getNumberOfEntitiesAtNodePmf(Int _nodeIndex) {
    lookup(_numberOfServers, _nodeIndex);
    std::map<Int, double> byValue;
    forEachState(_state, [&](const std::vector<NodeView>& view, double p) {
        addTo(byValue, view[size_t(_nodeIndex)].z, p);
    });
    return simpleFrom(arena(), byValue);
}

Pmf* EN::getTotalNumberOfEntitiesPmf() {
    std::map<Int, double> byValue;
    forEachState(_state, [&](const std::vector<NodeView>& view, double p) {
        int64_t total = 0;
        for (const NodeView& v : view) total += v.z;
        if (total > INT32_MAX) fail(msg::InvalidValue);
        addTo(byValue, Int(total), p);
    });
    return simpleFrom(arena(), byValue);
}

std::vector<std::pair<std::vector<Int>, double>> EN::getJointNumberOfEntitiesPmf(
    const std::vector<Int>& _nodeIndexes) {
    for (Int i : _nodeIndexes) lookup(_numberOfServers, i);
    std::map<std::vector<Int>, double> byValue;
    std::vector<Int> zs(_nodeIndexes.size());
    forEachState(_state, [&](const std::vector<NodeView>& view, double p) {
        for (size_t t = 0; t < zs.size(); t++) zs[t] = view[size_t(_nodeIndexes[t])].z;
        addTo(byValue, zs, p);
    });
    return normalised(byValue);
}

std::vector<std::pair<std::vector<Int>, double>> EN::getInternalStateAtNode(Int _nodeIndex) {
    lookup(_numberOfServers, _nodeIndex);
    std::map<std::vector<Int>, double> byState;
    forEachState(_state, [&](const std::vector<NodeView>& view, double p) {
        const NodeView& v = view[size_t(_nodeIndex)];
        std::vector<Int> key{v.z};
        key.insert(key.end(), v.r, v.r + v.b);
        addTo(byState, std::move(key), p);
    });
    return normalised(byState);
}

void EN::setJointState(const std::vector<Int>& keys, const std::vector<int64_t>& offsets,
                       const std::vector<double>& weights, bool checkBusy) {
    const Int n = getNumberOfNodes();
    std::vector<NodeView> view(static_cast<size_t>(n));
    std::unordered_map<Key, double> gathered;
    for (size_t j = 0; j < weights.size(); j++) {
        const Int* key = keys.data() + offsets[j];
        if (!parseKey(key, offsets[j + 1] - offsets[j], n, view.data())) fail(msg::InvalidValue);
        if (std::isnan(weights[j]) || std::isinf(weights[j])) fail(msg::InvalidValue);
        Key k;
        for (Int i = 0; i < n; i++) {
            const NodeView& v = view[size_t(i)];
            if (checkBusy && v.b < std::min(v.z, lookup(_numberOfServers, i)))
                fail(msg::InvalidValue);
            std::vector<Int> r(v.r, v.r + v.b);
            for (Int x : r)
                if (x < 1) fail(msg::InvalidValue);
            std::sort(r.begin(), r.end());
            appendInt(k, v.z);
            appendInt(k, v.b);
            appendInts(k, r.data(), r.size());
        }
        if (weights[j] > 0) addTo(gathered, std::move(k), weights[j]);
    }
    _state = finish(arena(), n, gathered, false, "the state", _maxStates);
}

ExactJointState* EN::readJointState(const std::vector<Int>& keys,
                                    const std::vector<int64_t>& offsets,
                                    const std::vector<double>& probabilities) {
    const Int n = getNumberOfNodes();
    std::vector<NodeView> view(static_cast<size_t>(n));
    std::vector<Key> owned(probabilities.size());
    std::vector<std::pair<const Key*, double>> entries;
    double total = 0;
    for (size_t j = 0; j < probabilities.size(); j++) {
        const Int* key = keys.data() + offsets[j];
        const int64_t length = offsets[j + 1] - offsets[j];
        if (!parseKey(key, length, n, view.data())) failImport();
        for (const NodeView& v : view)
            for (Int t = 0; t < v.b; t++)
                if (v.r[t] < 1 || (t > 0 && v.r[t] < v.r[t - 1])) failImport();
        if (j > 0 && compareKeys(keys.data() + offsets[j - 1], offsets[j] - offsets[j - 1], key,
                                 length) >= 0)
            failImport();
        const double p = probabilities[j];
        if (!(p > 0 && p <= 1)) failImport();
        total += p;
        owned[j].assign(reinterpret_cast<const char*>(key), size_t(length) * sizeof(Int));
        entries.emplace_back(&owned[j], p);
    }
    if (entries.empty() || !(std::fabs(total - 1.0) <= 1e-6)) failImport();
    return storeState(arena(), n, entries, 1.0, "the state", INT64_MAX);
}

}  // namespace movra
