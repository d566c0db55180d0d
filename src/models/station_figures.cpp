#include "station_figures.h"

#include <algorithm>
#include <cmath>

#include "../pmf/distributions.h"
#include "../pmf/pmf_query.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "exact_multiserver.h"
#include "station_map.h"

namespace movra {

namespace {

// What the models cut from each tail of a new number in system, and where a waiting
// time stops: less than this is left unstarted.
constexpr Real kHalfTail = kTailTolerance / kTailSides;
// The exact chain runs until this share of its mass is left: far below the tails the
// answer cuts, so only its last digits depend on it.
constexpr Real kChainRest = 1e-12;

// Binomial(n, h) as a dense row out[0 .. n], by the models' own recursion.
void binomialRow(Int n, Real h, IntegerLogs& logs, Real* out) {
    BinomialRecursion(h > 0 ? h : 0.0).writeRow(n, logs.upTo(n), out);
}

// Weight of j entities ahead of a random arrival within its batch, j = 0, 1, ...:
// P(A > j) / E[A] (size-biased batches, a uniform position in the batch). Empty when
// nothing arrives. More weights than limit are refused before the table is made: a
// batch near the top of the Int range would take gigabytes only to be refused after.
std::vector<Real> positionWeights(Pmf* arrivals, int64_t limit = INT64_MAX) {
    const Int offset = arrivals->simple.offset, length = arrivals->simple.length;
    const Real* p = &arrivals->simple.elements[0];
    Real mean = 0;
    for (Int i = 0; i < length; i++) mean += Real(offset + i) * p[i];
    if (!(mean > 0)) return {};
    const int64_t top = int64_t(offset) + length - 1;  // up to the top of the Int range
    if (top > limit) fail(msg::OutOfMemory);
    std::vector<Real> out(size_t(top), 0.0);
    Real above = 0;  // P(A > j), summed from the top
    for (int64_t j = top - 1; j >= 0; j--) {
        const int64_t i = j + 1 - offset;
        if (i >= 0 && i < length) above += p[i];
        out[size_t(j)] = above / mean;
    }
    return out;
}

// ---- standard station --------------------------------------------------------------

// A joint weight over (z, ell), z from zLow, ell 0..maxEll, dense.
struct Joint {
    Int zLow = 0, rows = 0, maxEll = 0;
    std::vector<Real> w;
    Real* row(Int z) { return &w[size_t(z - zLow) * size_t(maxEll + 1)]; }
    void shape(Int low, Int count, Int ell) {
        zLow = low, rows = count, maxEll = ell;
        w.assign(size_t(count) * size_t(ell + 1), 0.0);
    }
};

class StandardWait {
public:
    StandardWait(Pmf* service, Int servers) : service_(service), c_(servers) {
        sTop_ = service->simple.offset + service->simple.length - 1;
    }

    double work = 0;  // operations so far, against kWaitWorkBudget

    // One step of the model with the given arrivals (values from aOffset), then the state
    // conditioned on the tagged entity not having started: the probability it started,
    // or -1 once the work budget is spent.
    Real step(Joint& state, Int aOffset, const std::vector<Real>& a) {
        const Int aTop = aOffset + Int(a.size()) - 1;
        const Int lo = std::max<Int>(state.zLow - c_, 0) + aOffset;
        const Int hi = state.zLow + state.rows - 1 + aTop;
        const Int trials = std::min(c_, state.zLow + state.rows - 1) + 1;
        work += double(state.rows) * double(trials) * double(a.size() + size_t(state.maxEll) + 1);
        if (work > kWaitWorkBudget) return -1;
        // One pass forms the PMF of the new z, which the tail rule reads, and the new
        // joint of every z above c, the rows kept afterwards.
        const size_t span = size_t(hi - lo + 1);
        const Int width = std::max(state.maxEll - 1, sTop_) + 1;
        partial_.assign(span, 0.0);
        fresh_.assign(span, 0.0);
        full_.assign(span * size_t(width), 0.0);
        binom_.resize(size_t(trials));
        const Real perServer = 1 / Real(c_);
        for (Int r = 0; r < state.rows; r++) {
            const Int z = state.zLow + r;
            const Real* w = state.row(z);
            Real pz = 0, stays = 0;  // stays: the relabelled PMF's total, every ell but 1
            for (Int e = 0; e <= state.maxEll; e++) {
                pz += w[e];
                if (e != 1) stays += w[e];
            }
            if (!(pz > 0)) continue;
            const Int b = std::min(z, c_);
            binomialRow(b, state.maxEll >= 1 ? w[1] / pz : 0.0, logs_, binom_.data());
            const Real perStay = stays > 0 ? 1 / stays : 0.0;
            for (Int d = 0; d <= b; d++) {
                const Real weight = pz * binom_[size_t(d)];
                if (!(weight > 0)) continue;
                // Everyone still waiting keeps all c servers busy: an entity in service
                // afterwards is old with probability (c - d) / c, else it starts afresh.
                const Real old = Real(b - d) * perServer;
                if (old > 0 && w[0] > 0) fail(msg::NegativeInSupport);
                for (size_t ia = 0; ia < a.size(); ia++) {
                    if (!(a[ia] > 0)) continue;
                    const Int zp = z - d + aOffset + Int(ia);
                    const size_t at = size_t(zp - lo);
                    const Real branch = weight * a[ia];
                    partial_[at] += branch;
                    if (zp <= c_) continue;  // started: its ell does not matter
                    fresh_[at] += branch * (1 - old);
                    if (old > 0) {
                        Real* out = &full_[at * size_t(width)];
                        const Real scale = branch * old * perStay;
                        for (Int e = 2; e <= state.maxEll; e++) out[e - 1] += scale * w[e];
                    }
                }
            }
        }
        Real total = 0;
        for (Real p : partial_) total += p;
        // The model's tail rule on the PMF of the new z, normalised.
        const Real cut = kHalfTail * total;
        Int left = lo, right = hi;
        Real sum = 0;
        for (Int v = lo; v <= hi; v++) {
            sum += partial_[size_t(v - lo)];
            if (sum >= cut) {
                left = v;
                break;
            }
        }
        sum = 0;
        for (Int v = hi; v >= lo; v--) {
            sum += partial_[size_t(v - lo)];
            if (sum >= cut) {
                right = v;
                break;
            }
        }
        Real kept = 0, started = 0;
        for (Int v = left; v <= right; v++) {
            kept += partial_[size_t(v - lo)];
            if (v <= c_) started += partial_[size_t(v - lo)];
        }
        const Int first = std::max(left, c_ + 1);
        if (first > right || !(kept > started)) {
            state.shape(first, 0, 0);
            return 1.0;
        }
        state.shape(first, right - first + 1, width - 1);
        const Int sOff = service_->simple.offset;
        const Real* s = &service_->simple.elements[0];
        for (Int zp = first; zp <= right; zp++) {
            Real* out = state.row(zp);
            const size_t at = size_t(zp - lo);
            std::copy(&full_[at * size_t(width)], &full_[at * size_t(width)] + width, out);
            const Real f = fresh_[at];
            if (f > 0)
                for (Int i = 0; i < service_->simple.length; i++) out[sOff + i] += f * s[i];
        }
        return started / kept;
    }

private:
    Pmf* service_;
    Int c_, sTop_;
    IntegerLogs logs_;
    std::vector<Real> partial_, fresh_, full_, binom_;
};

// ---- exact station ---------------------------------------------------------------------

// The most values the exact wait's chain may hold in its runs: kScratchPerState per state
// max_states allows, and no more than an Int counts (a limit near the top of int64 would
// overflow the product; the chain's top is an Int).
int64_t chainLimit(int64_t maxStates) {
    constexpr int64_t kMost = INT32_MAX - 1;
    return maxStates > kMost / kScratchPerState ? kMost : kScratchPerState * maxStates;
}

class ExactWaitChain {
public:
    // Each entity waiting when a step begins, from step thinFrom on, stays with
    // probability keep (1: nobody leaves).
    ExactWaitChain(Pmf* service, Int servers, Int kTop, int64_t maxStates, Real keep, Int thinFrom)
        : c_(servers),
          kTop_(kTop),
          maxStates_(maxStates),
          keep_(keep),
          thinFrom_(thinFrom),
          pending_(size_t(kTop) + 1) {
        for (Int i = 0; i < service->simple.length; i++)
            if (service->simple.elements[i] > 0) {
                values_.push_back(service->simple.offset + i);
                probs_.push_back(service->simple.elements[i]);
            }
    }

    // The number of the multiset of busy servers' remaining times key (ascending).
    Int multiset(const Int* key, Int busy) { return idOf(key, busy); }
    // Weight for an entity with k - 1 entities still to start before it, the busy
    // servers' remaining times being the multiset id.
    void add(Int id, Int k, Real weight) {
        cur_[size_t(id)][size_t(k)] += weight;
        top_[size_t(id)] = std::max(top_[size_t(id)], k);
    }

    // out[t - shift] for the steps t = 1, 2, ... in which the entity starts; empty once
    // the work budget is spent.
    std::vector<Real> run(Int shift) {
        std::vector<Real> out;
        Real total = 0;
        std::vector<Int> active;
        for (Int id = 0; id < index_.size(); id++) {
            for (Real v : cur_[size_t(id)]) total += v;
            if (top_[size_t(id)] > 0) active.push_back(id);
        }
        for (Int t = 1;; t++) {
            Real rest = 0;
            if (keep_ < 1 && t >= thinFrom_ && !thin(active)) return {};
            if (out.size() < size_t(t - shift + 1)) out.resize(size_t(t - shift + 1), 0.0);
            // The servers at 1 finish and take as many entities as they can; what is left
            // of each run waits, under the shifted multiset, for the starters' durations.
            // Only the multisets holding runs, in ascending order as a scan of every one
            // would take them: a long service counts down through a new multiset every
            // step, and scanning them all made a wait of n steps cost n squared.
            for (Int id : active) {
                const Int top = top_[size_t(id)];
                const Shift& move = shiftOf(id);
                std::vector<Real>& v = cur_[size_t(id)];
                Real started = 0;
                for (Int k = 1; k <= std::min(move.starters, top); k++) started += v[size_t(k)];
                out[size_t(t - shift)] += started;
                if (top > move.starters) {
                    const Int count = top - move.starters;
                    const Real* from = v.data() + move.starters;
                    for (Int k = 1; k <= count; k++) rest += from[k];
                    // With no starter the multiset is already whole.
                    if (move.starters == 0)
                        carry(move.to, from, count, 1.0);
                    else
                        hold(move.to, from, count, 1.0);
                }
                std::fill(v.begin(), v.begin() + top + 1, 0.0);
                top_[size_t(id)] = 0;
            }
            // Fresh durations drawn one at a time, the smallest multisets first: a
            // multiset reached by several paths is spread once.
            for (size_t r = pending_.size() - 1; r > 0; r--) {
                for (size_t i = 0; i < pending_[r].size(); i++) {
                    const Int id = pending_[r][i];
                    const std::vector<Int>& to = drawsOf(id);
                    const Int count = heldTop_[size_t(id)];
                    work_ += double(to.size()) * double(count);
                    if (work_ > kWaitWorkBudget) return {};  // exhausted()
                    const Real* from = held_[size_t(id)].data();
                    const bool whole = r == 1;
                    for (size_t m = 0; m < to.size(); m++) {
                        if (whole)
                            carry(to[m], from, count, probs_[m]);
                        else
                            hold(to[m], from, count, probs_[m]);
                    }
                    std::fill(held_[size_t(id)].begin(), held_[size_t(id)].begin() + count + 1,
                              0.0);
                    heldTop_[size_t(id)] = 0;
                }
                pending_[r].clear();
            }
            std::swap(cur_, next_);
            std::swap(top_, nextTop_);
            std::sort(nextActive_.begin(), nextActive_.end());
            active.swap(nextActive_);
            nextActive_.clear();
            if (!(rest > kChainRest * total)) break;
        }
        // With impatience, the wait of those served: the mass that left is not a wait.
        Real served = 0;
        for (Real v : out) served += v;
        if (keep_ < 1) total = served;
        if (!(served > 0)) return {};
        for (Real& v : out) v /= total;
        return out;
    }

    bool exhausted() const { return work_ > kWaitWorkBudget; }

private:
    // The entities ahead of the tagged one each stay with probability keep, the tagged
    // one too (else its mass is gone); false once the work budget is spent.
    bool thin(const std::vector<Int>& active) {
        std::vector<Real> law(size_t(kTop_) + 1), thinned(size_t(kTop_) + 1);
        for (Int id : active) {
            const Int top = top_[size_t(id)];
            work_ += double(top) * double(top);
            if (work_ > kWaitWorkBudget) return false;  // exhausted()
            std::vector<Real>& v = cur_[size_t(id)];
            std::fill(thinned.begin(), thinned.begin() + top + 1, 0.0);
            for (Int k = 1; k <= top; k++) {
                if (!(v[size_t(k)] > 0)) continue;
                binomialRow(k - 1, keep_, logs_, law.data());
                const Real stays = v[size_t(k)] * keep_;
                for (Int kept = 0; kept < k; kept++)
                    thinned[size_t(kept) + 1] += stays * law[size_t(kept)];
            }
            std::copy(thinned.begin(), thinned.begin() + top + 1, v.begin());
        }
        return true;
    }

    // runs[to][1..count] += p * from[1..count]
    void put(std::vector<std::vector<Real>>& runs, std::vector<Int>& tops, Int to, const Real* from,
             Int count, Real p) {
        Real* n = runs[size_t(to)].data();
        for (Int k = 1; k <= count; k++) n[k] += p * from[k];
        tops[size_t(to)] = std::max(tops[size_t(to)], count);
    }

    // A run into the next step's runs, its multiset noted as holding one.
    void carry(Int to, const Real* from, Int count, Real p) {
        if (nextTop_[size_t(to)] == 0) nextActive_.push_back(to);
        put(next_, nextTop_, to, from, count, p);
    }

    // A run waiting under a multiset short of c for more fresh durations.
    void hold(Int to, const Real* from, Int count, Real p) {
        if (heldTop_[size_t(to)] == 0) pending_[size_t(c_ - index_.length(to))].push_back(to);
        put(held_, heldTop_, to, from, count, p);
    }

    Int idOf(const Int* key, Int length) {
        const Int id = index_.insert(key, length);
        if (size_t(id) >= cur_.size()) {
            // Each multiset holds runs over k; the chain's scratch stays within the state
            // budget of the model.
            if ((int64_t(id) + 1) * (int64_t(kTop_) + 1) > chainLimit(maxStates_))
                fail(msg::OutOfMemory);
            // So do their keys, as many per multiset as the state may hold per state: many
            // busy servers counting down make a long key every step, which once filled the
            // memory before any other budget was spent.
            checkKeyBudget(index_.keyCount(), chainLimit(maxStates_));
            for (auto* runs : {&cur_, &next_, &held_}) runs->emplace_back(size_t(kTop_) + 1, 0.0);
            for (auto* tops : {&top_, &nextTop_, &heldTop_}) tops->push_back(0);
            shifts_.emplace_back();
            draws_.emplace_back();
        }
        return id;
    }

    struct Shift {
        bool ready = false;
        Int starters = 0;  // entities the freed servers take
        Int to = 0;        // the multiset of those still busy, counted down
    };

    // The servers at 1 finish, the others count down; as many servers as are free take
    // entities (more free servers than entities left to start take everyone: kTop of
    // them stand for all).
    const Shift& shiftOf(Int id) {
        if (!shifts_[size_t(id)].ready) {
            const Int length = index_.length(id);
            const Int* key = index_.key(id);
            Int done = 0;
            while (done < length && key[done] == 1) done++;
            std::vector<Int> shifted(key + done, key + length);
            for (Int& r : shifted) r--;
            Shift move;
            move.ready = true;
            move.starters = std::min(std::max<Int>(c_ - Int(shifted.size()), 0), kTop_);
            move.to = idOf(shifted.data(), Int(shifted.size()));
            shifts_[size_t(id)] = move;
        }
        return shifts_[size_t(id)];
    }

    // The multisets one fresh duration more makes, one per value of the service PMF.
    const std::vector<Int>& drawsOf(Int id) {
        if (draws_[size_t(id)].empty()) {
            std::vector<Int> to;
            std::vector<Int> key(index_.key(id), index_.key(id) + index_.length(id));
            for (Int value : values_) {
                std::vector<Int> grown(key);
                grown.insert(std::upper_bound(grown.begin(), grown.end(), value), value);
                to.push_back(idOf(grown.data(), Int(grown.size())));
            }
            draws_[size_t(id)] = std::move(to);
        }
        return draws_[size_t(id)];
    }

    Int c_, kTop_;
    int64_t maxStates_;
    Real keep_;
    Int thinFrom_;
    double work_ = 0;
    std::vector<Int> values_;  // the service PMF's values of positive probability
    std::vector<Real> probs_;
    IntegerLogs logs_;
    MultisetIndex index_;
    std::vector<std::vector<Real>> cur_, next_, held_;
    std::vector<Int> top_, nextTop_, heldTop_;
    std::vector<Int> nextActive_;  // the multisets with runs in next_, unordered
    // By the durations still to draw (fewer than kTop when anything is held): the
    // multisets holding runs.
    std::vector<std::vector<Int>> pending_;
    std::vector<Shift> shifts_;
    std::vector<std::vector<Int>> draws_;
};

}  // namespace

namespace {

// One server: the station's state is the queue's own, so the exact chain answers, with
// no tail cut along the way and at a fraction of the cost of stepping.
WaitResult oneServerWait(Pmf* state, Pmf* arrivals, Pmf* service, int64_t position) {
    WaitResult result;
    Pmf* dist_z = lookupMarginalPmf(state);
    const Int zOffset = dist_z->simple.offset, zCount = dist_z->simple.length;
    const int64_t zTop = int64_t(zOffset) + zCount - 1;
    std::vector<Real> weights;
    int64_t kTop;
    if (position < 0) {
        weights = positionWeights(arrivals, chainLimit(kDefaultMaxStates));
        if (weights.empty()) {
            result.status = WaitStatus::NobodyArrives;
            return result;
        }
        kTop = std::max<int64_t>(zTop - 1, 0) + int64_t(weights.size());
    } else {
        kTop = zTop - 1 > position ? position + 1 : 0;
        if (kTop == 0) {
            result.status = WaitStatus::NobodyAtPosition;
            return result;
        }
    }
    if (kTop > chainLimit(kDefaultMaxStates)) fail(msg::OutOfMemory);
    ExactWaitChain chain(service, 1, Int(kTop), kDefaultMaxStates, 1.0, 1);
    Real total = 0;
    for (Int i = 0; i < zCount; i++) {
        const Real pz = dist_z->simple.elements[i];
        if (!(pz > 0)) continue;
        const int64_t z = int64_t(zOffset) + i, waiting = std::max<int64_t>(z - 1, 0);
        if (position >= 0 && waiting <= position) continue;
        Pmf* dist_ell = state->joint.elements[i];
        for (Int e = 0; e < dist_ell->simple.length; e++) {
            const Real p = pz * dist_ell->simple.elements[e];
            if (!(p > 0)) continue;
            const Int ell = dist_ell->simple.offset + e, busy = z > 0 ? 1 : 0;
            // The step would relabel it to a negative remaining time.
            if (busy > 0 && ell < 1) fail(msg::NegativeInSupport);
            const Int id = chain.multiset(&ell, busy);
            if (position >= 0) {
                chain.add(id, Int(position + 1), p);
                total += p;
                continue;
            }
            for (size_t j = 0; j < weights.size(); j++) {
                if (!(weights[j] > 0)) continue;
                chain.add(id, Int(waiting + int64_t(j) + 1), p * weights[j]);
                total += p * weights[j];
            }
        }
    }
    if (!(total > 0)) {
        result.status = position < 0 ? WaitStatus::NobodyArrives : WaitStatus::NobodyAtPosition;
        return result;
    }
    result.pmf = chain.run(position < 0 ? 1 : 0);
    if (result.pmf.empty()) result.status = WaitStatus::TooMuchWork;
    return result;
}

}  // namespace

WaitResult standardStationWait(Pmf* state, Pmf* arrivals, Pmf* service, Int servers,
                               int64_t position) {
    if (servers == 1) return oneServerWait(state, arrivals, service, position);
    WaitResult result;
    Pmf* dist_z = lookupMarginalPmf(state);
    const Int zOffset = dist_z->simple.offset, zCount = dist_z->simple.length;
    StandardWait wait(service, servers);
    Int maxEll = 0;
    for (Int i = 0; i < zCount; i++)
        if (dist_z->simple.elements[i] > 0) {
            Pmf* ell = state->joint.elements[i];
            maxEll = std::max(maxEll, ell->simple.offset + ell->simple.length - 1);
        }
    Joint joint;
    std::vector<Real>& out = result.pmf;
    Real left = 1, started = 0;
    auto put = [&](Real* row, Int i, Real scale) {
        Pmf* ell = state->joint.elements[i];
        for (Int e = 0; e < ell->simple.length; e++)
            row[ell->simple.offset + e] += scale * ell->simple.elements[e];
    };
    if (position < 0) {
        // A batch larger than the work budget spends it in the first step whatever the
        // state: refused before its weights are made (gigabytes near the top of the Int
        // range).
        if (double(arrivals->simple.offset) + arrivals->simple.length - 1 > kWaitWorkBudget) {
            result.status = WaitStatus::TooMuchWork;
            return result;
        }
        const std::vector<Real> weights = positionWeights(arrivals);
        if (weights.empty()) {
            result.status = WaitStatus::NobodyArrives;
            return result;
        }
        joint.shape(zOffset, zCount, maxEll);
        for (Int i = 0; i < zCount; i++) {
            const Real pz = dist_z->simple.elements[i];
            if (pz > 0) put(joint.row(zOffset + i), i, pz);
        }
        // The step of its arrival brings the tagged entity with the j entities of its
        // batch ahead of it, and nobody behind.
        started = wait.step(joint, 1, weights);
        if (started < 0) {
            result.status = WaitStatus::TooMuchWork;
            return result;
        }
        out.push_back(started);
        left = 1 - started;
    } else {
        const int64_t from = int64_t(servers) + position + 1;
        if (from > int64_t(zOffset) + zCount - 1) {
            result.status = WaitStatus::NobodyAtPosition;
            return result;
        }
        joint.shape(Int(from), 1, maxEll);
        Real total = 0;
        for (Int i = std::max<int64_t>(from - zOffset, 0); i < zCount; i++) {
            const Real pz = dist_z->simple.elements[i];
            if (!(pz > 0)) continue;
            put(joint.row(Int(from)), i, pz);
            total += pz;
        }
        if (!(total > 0)) {
            result.status = WaitStatus::NobodyAtPosition;
            return result;
        }
        out.push_back(0.0);
    }
    const std::vector<Real> none{1.0};
    while (left >= kHalfTail && started < 1) {
        started = wait.step(joint, 0, none);
        if (started < 0) {
            result.status = WaitStatus::TooMuchWork;
            result.pmf.clear();
            return result;
        }
        out.push_back(left * started);
        left *= 1 - started;
    }
    return result;
}

WaitResult exactStationWait(ExactState* state, Pmf* arrivals, Pmf* service, Int servers,
                            int64_t capacity, Real abandonment, int64_t position,
                            int64_t maxStates) {
    WaitResult result;
    const Real* probs = probabilitiesOf(state);
    const Int* keys = keysOf(state);
    std::vector<Real> weights;
    if (position < 0) {
        // kTop below is at least the weights' count: the same limit, checked first.
        weights = positionWeights(arrivals, chainLimit(maxStates));
        if (weights.empty()) {
            result.status = WaitStatus::NobodyArrives;
            return result;
        }
    }
    // The most entities any tagged one has to see start before it, and itself.
    int64_t kTop = 0;
    for (Int g = 0; g < state->groupCount; g++) {
        const ExactGroup& group = groupsOf(state)[g];
        const int64_t waiting = int64_t(group.zOffset) + group.length - 1 - group.busy;
        kTop = std::max(kTop, position < 0 ? waiting + int64_t(weights.size()) : waiting);
    }
    if (position >= 0) kTop = kTop > position ? position + 1 : 0;
    if (kTop == 0) {
        result.status = position < 0 ? WaitStatus::NobodyAdmitted : WaitStatus::NobodyAtPosition;
        return result;
    }
    if (kTop > chainLimit(maxStates)) fail(msg::OutOfMemory);
    const Real keep = 1 - abandonment;
    // An arrival does not leave in its own step; an entity waiting now may leave in the
    // coming one.
    ExactWaitChain chain(service, servers, Int(kTop), maxStates, keep, position < 0 ? 2 : 1);
    IntegerLogs logs;
    std::vector<Real> stay;
    Real total = 0;
    for (Int g = 0; g < state->groupCount; g++) {
        const ExactGroup& group = groupsOf(state)[g];
        const Int* key = keys + group.keyStart;
        Int done = 0;
        while (done < group.busy && key[done] == 1) done++;
        const Int id = chain.multiset(key, group.busy);
        for (Int i = 0; i < group.length; i++) {
            const Real p = probs[group.probStart + i];
            if (!(p > 0)) continue;
            const int64_t z = int64_t(group.zOffset) + i, waiting = z - group.busy;
            if (position >= 0) {
                if (waiting <= position) continue;
                chain.add(id, Int(position + 1), p);
                total += p;
                continue;
            }
            // Those waiting now who stay through the arrival step, then the batch ahead.
            stay.assign(size_t(waiting) + 1, 0.0);
            if (keep < 1)
                binomialRow(Int(waiting), keep, logs, stay.data());
            else
                stay[size_t(waiting)] = 1;
            for (int64_t left = 0; left <= waiting; left++) {
                const Real pl = p * stay[size_t(left)];
                if (!(pl > 0)) continue;
                for (size_t j = 0; j < weights.size(); j++) {
                    if (!(weights[j] > 0)) continue;
                    // An arrival that finds the room full after the completions and the
                    // departures of the impatient is lost.
                    if (capacity >= 0 && z - done - (waiting - left) + int64_t(j) + 1 > capacity)
                        break;
                    chain.add(id, Int(left + int64_t(j) + 1), pl * weights[j]);
                    total += pl * weights[j];
                }
            }
        }
    }
    if (!(total > 0)) {
        result.status = position < 0 ? WaitStatus::NobodyAdmitted : WaitStatus::NobodyAtPosition;
        return result;
    }
    result.pmf = chain.run(position < 0 ? 1 : 0);
    if (result.pmf.empty())
        result.status = chain.exhausted() ? WaitStatus::TooMuchWork : WaitStatus::NobodyServed;
    return result;
}

std::vector<Real> finishPmf(const std::vector<Real>& weights, Real tail, Int& first) {
    Real total = 0;
    for (Real w : weights) total += w;
    std::vector<Real> p(weights.size());
    for (size_t i = 0; i < p.size(); i++) p[i] = weights[i] / total;
    first = 0;
    if (!(tail > 0) || p.size() <= 1) return p;
    const Real half = tail / 2;
    size_t lo = 0, hi = p.size() - 1;
    Real sum = 0;
    for (lo = 0; lo < p.size() - 1; lo++)
        if ((sum += p[lo]) >= half) break;
    sum = 0;
    for (hi = p.size() - 1; hi > 0; hi--)
        if ((sum += p[hi]) >= half) break;
    if (lo > hi) std::swap(lo, hi);
    std::vector<Real> kept(p.begin() + std::ptrdiff_t(lo), p.begin() + std::ptrdiff_t(hi) + 1);
    Real left = 0;
    for (Real v : kept) left += v;
    for (Real& v : kept) v /= left;
    first = Int(lo);
    return kept;
}

ServiceFigures standardStationFigures(Pmf* state, Int servers) {
    ServiceFigures out;
    Pmf* dist_z = lookupMarginalPmf(state);
    const Int most =
        std::min(std::max<Int>(servers, 0), dist_z->simple.offset + dist_z->simple.length - 1);
    out.completions.assign(size_t(std::max<Int>(most, 0)) + 1, 0.0);
    IntegerLogs logs;
    std::vector<Real> binom;
    for (Int i = 0; i < dist_z->simple.length; i++) {
        const Real pz = dist_z->simple.elements[i];
        if (!(pz > 0)) continue;
        const Int b = std::min(dist_z->simple.offset + i, std::max<Int>(servers, 0));
        out.busy += pz * Real(b);
        binom.resize(size_t(b) + 1);
        binomialRow(b, lookupProbability(state->joint.elements[i], 1), logs, binom.data());
        for (Int d = 0; d <= b; d++) out.completions[size_t(d)] += pz * binom[size_t(d)];
    }
    return out;
}

ServiceFigures exactStationFigures(ExactState* state) {
    ServiceFigures out;
    out.completions.assign(1, 0.0);
    const Real* probs = probabilitiesOf(state);
    const Int* keys = keysOf(state);
    for (Int g = 0; g < state->groupCount; g++) {
        const ExactGroup& group = groupsOf(state)[g];
        Real mass = 0;
        for (Int i = 0; i < group.length; i++) mass += probs[group.probStart + i];
        Int done = 0;
        while (done < group.busy && keys[group.keyStart + done] == 1) done++;
        if (out.completions.size() <= size_t(done)) out.completions.resize(size_t(done) + 1, 0.0);
        out.completions[size_t(done)] += mass;
        out.busy += mass * Real(group.busy);
    }
    return out;
}

Real totalVariation(Int offsetA, const std::vector<Real>& a, Int offsetB,
                    const std::vector<Real>& b) {
    const int64_t lo = std::min(offsetA, offsetB);
    const int64_t hi =
        std::max(int64_t(offsetA) + int64_t(a.size()), int64_t(offsetB) + int64_t(b.size()));
    Real sum = 0;
    for (int64_t v = lo; v < hi; v++) {
        const int64_t i = v - offsetA, j = v - offsetB;
        const Real pa = i >= 0 && i < int64_t(a.size()) ? a[size_t(i)] : 0.0;
        const Real pb = j >= 0 && j < int64_t(b.size()) ? b[size_t(j)] : 0.0;
        sum += std::fabs(pa - pb);
    }
    return 0.5 * sum;
}

}  // namespace movra
