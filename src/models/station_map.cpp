#include "station_map.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "../pmf/accumulator.h"
#include "../pmf/distributions.h"
#include "../pmf/joint_accumulator.h"
#include "../pmf/pmf_query.h"
#include "../pmf/sampling_stack.h"
#include "../pmf/scaled_add.h"
#include "../runtime/compiler.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

Pmf* stationResetMap(MovraObject* obj, Pmf* serviceDuration, Int z0) {
    SamplingStack stack(1);
    JointAccumulator acc(obj, 2);
    for (Int i = 0; i < serviceDuration->simple.length; i++) {
        Real prob_ell = serviceDuration->simple.elements[i];
        if (!(prob_ell > 0)) continue;
        stack.set(0, prob_ell);
        acc.putDouble(stack.branchProbability(0), z0, serviceDuration->simple.offset + i);
    }
    return acc.toPmf();
}

Pmf* stationObservationMapRange(MovraObject* obj, Pmf* state, int64_t z0, int64_t z1) {
    Pmf* dist_z = lookupMarginalPmf(state);
    SamplingStack stack(2);
    JointAccumulator acc(obj, 2);
    for (Int i = 0; i < dist_z->simple.length; i++) {
        Real prob_z = dist_z->simple.elements[i];
        if (!(prob_z > 0)) continue;
        Int z = dist_z->simple.offset + i;
        // A z outside the range puts nothing, whatever its ell.
        if (!(z0 <= z && z < z1)) continue;
        stack.set(0, prob_z);
        Pmf* dist_ell = lookupConditionalPmf1(state, z);
        for (Int j = 0; j < dist_ell->simple.length; j++) {
            Real prob_ell = dist_ell->simple.elements[j];
            if (!(prob_ell > 0)) continue;
            stack.branch(1, prob_ell);
            acc.putDouble(stack.branchProbability(1), z, dist_ell->simple.offset + j);
        }
    }
    return acc.toPmf();
}

namespace {
// Up to these, CompletionRuns sizes its scratch for the most trials of every z (the
// logarithms come from the process's table).
constexpr Int kOnePassTrials = 64;
constexpr int64_t kOnePassValues = 2048;
}  // namespace

CompletionRuns::CompletionRuns(Pmf* state, Int servers, ScratchCache* scratch) {
    values_.bind(scratch);
    runs_.bind(scratch);
    Pmf* dist_z = lookupMarginalPmf(state);
    const Int nz = dist_z->simple.length;
    // Unfilled: every run and every slot of values_ is written below.
    runs_.resetUnfilled(nz);
    // A binomial with h of 0 or 1 (or no trials) holds one value: scratch and the table
    // of logarithms follow the values held, not the number of trials.
    auto slots = [](Int trials, Real h) -> int64_t {
        return trials > 0 && h > 0 && h < 1 ? int64_t(trials) + 1 : 1;
    };
    // Few values in all even if every z had its most trials: room for that, without a
    // pass to count them.
    const int64_t zTop = int64_t(dist_z->simple.offset) + nz - 1;
    const Int topTrials = Int(std::max<int64_t>(0, std::min<int64_t>(zTop, servers)));
    int64_t total = 0;
    Int logsUpTo = 0;
    if (topTrials <= kOnePassTrials && int64_t(nz) * (topTrials + 1) <= kOnePassValues) {
        total = int64_t(nz) * (topTrials + 1);
        logsUpTo = topTrials;
    } else {
        for (Int i = 0; i < nz; i++) {
            if (!(dist_z->simple.elements[i] > 0)) continue;
            // p(z) > 0: the conditional PMF of z exists (lookupConditionalPmf1's check).
            Int trials = std::min(dist_z->simple.offset + i, servers);
            int64_t n = slots(trials, lookupProbability(state->joint.elements[i], 1));
            total += n;
            if (n > 1) logsUpTo = std::max(logsUpTo, trials);
        }
    }
    values_.resetUnfilled(total);
    IntegerLogs logs;
    const Real* log = logs.upTo(logsUpTo);
    Real* out = values_.get();
    for (Int i = 0; i < nz; i++) {
        if (!(dist_z->simple.elements[i] > 0)) {
            runs_[i] = PmfRun();
            continue;
        }
        Int z = dist_z->simple.offset + i;
        Real h = lookupProbability(state->joint.elements[i], 1);
        Int trials = std::min(z, servers), length;
        Int first = BinomialRecursion(h).write(trials, log, out, length);
        const PmfRun& run = runs_[i] = PmfRun::of(out, first, length);
        out += slots(trials, h);
        if (run.count == 0) continue;
        // The largest number of completions: what the routings' binomials are formed for.
        maxTrials_ = std::max(maxTrials_, Int(int64_t(run.first) + run.count - 1));
        const int64_t dLow = run.first, dHigh = int64_t(run.first) + run.count - 1;
        baseLow_ = std::min(baseLow_, z - dHigh);
        baseHigh_ = std::max(baseHigh_, z - dLow);
        baseHighBack_ = std::max(baseHighBack_, z - dLow + std::max<int64_t>(dHigh, 0));
    }
}

namespace {
// relabel(z) of every stored z, each formed on first use into scratch: the probabilities
// reference::relabel's accumulator would give, and its failures ("Negative integer in pmf
// support" for ell = 0, "Empty pmf" when every entity completes). Each is laid out over
// the columns colLo .. colLo + cols - 1 of the full map (zero outside its support).
class RelabelRuns {
public:
    RelabelRuns(Pmf* state, ScratchCache* scratch)
        : state_(state), dist_z_(lookupMarginalPmf(state)) {
        values_.bind(scratch);
        starts_.bind(scratch);
        runs_.bind(scratch);
    }
    // The smallest and largest value any relabel(z) may hold (lo > hi: none).
    void span(Int& lo, Int& hi) const {
        lo = INT32_MAX;
        hi = 0;
        for (Int i = 0; i < dist_z_->simple.length; i++) {
            Pmf* dist_ell = state_->joint.elements[i];
            if (!(dist_z_->simple.elements[i] > 0) || dist_ell == nullptr) continue;
            const int64_t top = int64_t(dist_ell->simple.offset) + dist_ell->simple.length - 2;
            if (top < 1) continue;
            lo = std::min(lo, std::max(dist_ell->simple.offset, 2) - 1);
            hi = std::max(hi, Int(top));
        }
    }
    // The widest relabel(z) may be: its values lie in max(offset, 2) - 1 .. offset + length - 2.
    int64_t widest() const {
        int64_t widest = 0;
        for (Int i = 0; i < dist_z_->simple.length; i++) {
            int64_t lo, hi;
            if (rowSpan(i, lo, hi)) widest = std::max(widest, hi - lo + 1);
        }
        return widest;
    }
    void layout(Int colLo, Int cols) {
        colLo_ = colLo;
        cols_ = cols;
        const Int nz = dist_z_->simple.length;
        values_.reset(int64_t(nz) * cols);
        runs_.reset(nz);
    }
    // Each relabel(z) over its own values instead: scratch follows the conditionals' sizes
    // however far apart their values lie.
    void layoutCompact() {
        compact_ = true;
        const Int nz = dist_z_->simple.length;
        starts_.reset(int64_t(nz) + 1);
        for (Int i = 0; i < nz; i++) {
            int64_t lo, hi;
            starts_[i + 1] = starts_[i] + (rowSpan(i, lo, hi) ? hi - lo + 1 : 0);
        }
        values_.reset(starts_[nz]);
        runs_.reset(nz);
    }
    const PmfRun& at(Int iz) {
        if (runs_[iz].count == 0) form(iz);  // a formed run holds at least one column
        return runs_[iz];
    }
    // Instead of failing, a relabel(z) that cannot be formed becomes a row of zeros (whose
    // puts change no cell) and failed() turns true: for a map that may put rows the tails
    // later leave out, and that the failure must therefore not stop. Grid layout only.
    void deferFailures() { deferring_ = true; }
    bool failed() const { return failed_; }

private:
    bool rowSpan(Int iz, int64_t& lo, int64_t& hi) const {
        Pmf* dist_ell = state_->joint.elements[iz];
        if (!(dist_z_->simple.elements[iz] > 0) || dist_ell == nullptr) return false;
        lo = std::max(dist_ell->simple.offset, 2) - 1;
        hi = int64_t(dist_ell->simple.offset) + dist_ell->simple.length - 2;
        return lo <= hi;
    }

    void form(Int iz) {
        Pmf* dist_ell = state_->joint.elements[iz];  // p(z) > 0: it exists
        int64_t first = colLo_, count = cols_, lo, hi;
        Real* row = values_.get() + int64_t(iz) * cols_;
        if (compact_) {
            first = rowSpan(iz, lo, hi) ? lo : 0;
            count = starts_[iz + 1] - starts_[iz];
            row = values_.get() + starts_[iz];
        }
        Real* out = row - first;  // out[v]: value v
        const Real* e = dist_ell->simple.elements;
        const Int n = dist_ell->simple.length, offset = dist_ell->simple.offset;
        // Each kept value has its one put, so the accumulator's total is their sum in
        // order of value; each slot is then its put over the total. Both passes read the
        // PMF, not out: a load of values just stored waits for them.
        bool kept = false, negative = false;
        Real total = 0;
        for (Int i = 0; i < n; i++) {
            Real prob_ell = e[i];
            if (!(prob_ell > 0)) continue;
            Int ell = offset + i;
            if (ell == 1) continue;  // that entity completes during the step
            if (ell == 0) {
                if (!deferring_) fail(msg::NegativeInSupport);
                negative = true;
                break;
            }
            total += clampWeight(prob_ell);
            kept = true;
        }
        if (!kept && !deferring_) fail(msg::EmptyPmf);
        PmfRun& run = runs_[iz];
        if (negative || !kept) {
            failed_ = true;
            run = PmfRun{row, Int(first), Int(count), 0.0, true};  // row is zero-filled
            return;
        }
        Real peak = 0;
        for (Int i = 0; i < n; i++) {
            Real prob_ell = e[i];
            if (!(prob_ell > 0) || offset + i == 1) continue;
            const Real v = clampWeight(prob_ell) / total;
            out[offset + i - 1] = v;
            peak = std::max(peak, v);
        }
        run.p = row;
        run.first = Int(first);
        run.count = Int(count);  // kept: some ell >= 2 has p > 0, so count >= 1
        run.peak = peak;
        run.regular = true;
    }

    Pmf* state_;
    Pmf* dist_z_;
    Int colLo_ = 0, cols_ = 0;
    bool compact_ = false, deferring_ = false, failed_ = false;
    ScratchBuffer<Real> values_;     // one row of cols_ per stored z, or the compact rows
    ScratchBuffer<int64_t> starts_;  // compact: relabel(z)'s row starts at starts_[iz]
    ScratchBuffer<PmfRun> runs_;     // count 0 until formed
};

// The Bernoulli PMF of entityIsOld for the probability q, in the values bernoulli()
// would store: prob_new for 0, prob_old for 1.
inline void entityIsOld(Real q, Real& prob_new, Real& prob_old) {
    if (q <= 0) {
        prob_new = 1.0;
        prob_old = 0.0;
    } else if (q >= 1) {
        prob_new = 0.0;
        prob_old = 1.0;
    } else {
        prob_new = 1 - q;
        prob_old = q;
    }
}

// Walks every (z, d, phi) combination of positive weight of a step, calling
// visit(iz, z, d, base = z - d + phi, level) with the running product of their
// probabilities at `level` of the stack. Without routesBack there is no phi loop (phi =
// 0 and one level fewer).
template <bool RoutesBack, class Visit>
MOVRA_ALWAYS_INLINE void forEachDepartureOf(const StationStep& step, SamplingStack& stack,
                                            Visit&& visit) {
    Pmf* dist_z = lookupMarginalPmf(step.state);
    // The completions that re-enter, Binomial(d, selfRouting), formed once per d.
    std::optional<BinomialRuns> routed;
    if (RoutesBack) routed.emplace(step.selfRouting, step.completions->maxTrials());
    // Locals, not read again through the records after every put of a visit.
    const Real* const pz = dist_z->simple.elements;
    const Int nz = dist_z->simple.length, zOffset = dist_z->simple.offset;
    for (Int iz = 0; iz < nz; iz++) {
        Real prob_z = pz[iz];
        if (!(prob_z > 0)) continue;
        Int z = zOffset + iz;
        stack.set(0, prob_z);
        const PmfRun& run = step.completions->at(iz);
        const Real* const pd = run.p;
        const Int nd = run.count, dFirst = run.first;
        for (Int id = 0; id < nd; id++) {
            Real prob_d = pd[id];
            if (!(prob_d > 0)) continue;
            Int d = dFirst + id;
            stack.branch(1, prob_d);
            if (!RoutesBack) {
                visit(iz, z, d, int64_t(z) - d, 1);
                continue;
            }
            const PmfRun& dist_phi = routed->forTrials(d);
            for (Int iphi = 0; iphi < dist_phi.count; iphi++) {
                Real prob_phi = dist_phi.p[iphi];
                if (!(prob_phi > 0)) continue;
                stack.branch(2, prob_phi);
                visit(iz, z, d, int64_t(z) - d + dist_phi.first + iphi, 2);
            }
        }
    }
}

// One loop nest for each case, so that a station without re-entry carries none of its
// state through the loops.
template <class Visit>
void forEachDeparture(const StationStep& step, SamplingStack& stack, Visit&& visit) {
    if (step.routesBack)
        forEachDepartureOf<true>(step, stack, visit);
    else
        forEachDepartureOf<false>(step, stack, visit);
}
}  // namespace

namespace {
// Every z' the loops of a step can reach lies in zLow .. zHigh (lo > hi: none):
// z - d + phi + a with d from z's completions and 0 <= phi <= d.
void reachable(const StationStep& step, int64_t& zLow, int64_t& zHigh) {
    const PmfRun& dist_a = step.arrivals;
    zLow = INT64_MAX;
    zHigh = -1;
    int64_t low, high, highBack;
    if (dist_a.count == 0 || !step.completions->departureSpan(low, high, highBack)) return;
    zLow = low + dist_a.first;
    zHigh = (step.routesBack ? highBack : high) + dist_a.first + dist_a.count - 1;
}
}  // namespace

namespace {
// The partial map's puts when every z' lies in the reserved window and the arrivals are
// regular, with N arrival values (0: any number).
template <int N>
void partialMapPuts(const StationStep& step, SamplingStack& stack, SimpleAccumulator& acc) {
    const PmfRun& dist_a = step.arrivals;
    forEachDeparture(step, stack,
                     [&](Int, Int, Int, int64_t base, int level) MOVRA_ALWAYS_INLINE_LAMBDA {
                         acc.putScaledInside<N>(stack.branchProbability(level), dist_a, base);
                     });
}
}  // namespace

Pmf* stationPartialMap(const StationStep& step) {
    SamplingStack stack(step.routesBack ? 4 : 3);
    SimpleAccumulator acc(step.obj);
    acc.elements.bind(step.scratch);
    const PmfRun& dist_a = step.arrivals;
    int64_t zLow, zHigh;
    reachable(step, zLow, zHigh);
    // The window must be one reserve() makes: fewer than 2**31 values.
    if (0 <= zLow && zLow <= zHigh && zHigh <= INT32_MAX && zHigh - zLow < INT32_MAX) {
        acc.reserve(Int(zLow), Int(zHigh));
        if (dist_a.regular) {
            switch (dist_a.count) {
                case 1: partialMapPuts<1>(step, stack, acc); break;
                case 2: partialMapPuts<2>(step, stack, acc); break;
                case 3: partialMapPuts<3>(step, stack, acc); break;
                case 4: partialMapPuts<4>(step, stack, acc); break;
                default: partialMapPuts<0>(step, stack, acc); break;
            }
            return acc.toPmf();
        }
    }
    // The arrivals loop, one pass per departure outcome: z - d + phi + a for every a.
    forEachDeparture(step, stack,
                     [&](Int, Int, Int, int64_t base, int level) MOVRA_ALWAYS_INLINE_LAMBDA {
                         if (dist_a.count > 0 && base + dist_a.first + dist_a.count - 1 > INT32_MAX)
                             fail(msg::OutOfMemory);  // z - d + phi + a must stay an Int
                         acc.putScaled(stack.branchProbability(level), dist_a, base);
                     });
    return acc.toPmf();
}

namespace {
// The arrivals loop of a visit from z' = c on, where every row takes the same ell'
// distribution x, row ia scaled by (weight * p(a)) * prob; and the same for a pair of
// distributions.
template <int N>
void putRows(Real* cells, int64_t cols, const Real* ap, int64_t from, int64_t to, Real weight,
             Real prob, const Real* x) {
    for (int64_t ia = from; ia <= to; ia++) {
        Real prob_a = ap[ia];
        if (prob_a > 0) addScaled<N>(cells + ia * cols, (weight * prob_a) * prob, x, cols);
    }
}

template <int N>
void putRowPairs(Real* cells, int64_t cols, const Real* ap, int64_t from, int64_t to, Real weight,
                 Real prob0, const Real* x0, Real prob1, const Real* x1) {
    for (int64_t ia = from; ia <= to; ia++) {
        Real prob_a = ap[ia];
        if (!(prob_a > 0)) continue;
        const Real w = weight * prob_a;
        addScaledPair<N>(cells + ia * cols, w * prob0, x0, w * prob1, x1, cols);
    }
}

// The full map's puts with N columns (0: any number). Every run spans all columns (zero
// outside its support), so a put is one pass over a row, added straight into the grid as
// its putScaled and putScaledPair would add it. Every scale is a product of probabilities,
// so a weight is never negative; one of 0 changes nothing, so no put needs to be skipped
// for it. A fresh run that is not regular goes through the accumulator entry by entry.
// With partial, each visit also makes the partial map's put of its outcome (its arrivals
// regular, its window reserved), in the same order as the partial map's own loops.
template <int N>
void fullMapPuts(const StationStep& step, JointGridAccumulator& acc, const PmfRun& fresh,
                 RelabelRuns& relabelled, int64_t rowLo, int64_t rowHi,
                 SimpleAccumulator* partial) {
    const Int c = step.servers;
    const PmfRun& dist_a = step.arrivals;
    const JointGridAccumulator::Cells grid = acc.direct();
    const int64_t cols = N > 0 ? N : grid.cols;
    SamplingStack stack(step.routesBack ? 6 : 5);
    // Copied into the visit, so that none is read again through a reference at every
    // visit, nor thought changed by the stores into the grid.
    const int64_t aFirst = dist_a.first, aLast = int64_t(dist_a.count) - 1;
    const Real* const ap = dist_a.p;
    const Real* const fp = fresh.p;
    const bool regular = fresh.regular;
    Real* const firstRow = grid.cells + (aFirst - grid.rowLo) * cols;  // of base 0, a = 0
    const int64_t fromBase = rowLo - aFirst, toBase = rowHi - aFirst;

    forEachDeparture(
        step, stack,
        [&acc, &fresh, &relabelled, &stack, &dist_a, partial, c, aFirst, aLast, ap, fp, regular,
         firstRow, cols, fromBase,
         toBase](Int iz, Int z, Int d, int64_t base, int level) MOVRA_ALWAYS_INLINE_LAMBDA {
            Real* const cells = firstRow + base * cols;  // row of a = 0
            const Real weight = stack.branchProbability(level);
            if (partial != nullptr) partial->putScaledInside<0>(weight, dist_a, base);
            const Int stay = std::min(z, c) - d;  // in service before and after the step
            // Only the arrivals that land z' within the limits.
            const int64_t from = std::max<int64_t>(0, fromBase - base);
            const int64_t to = std::min<int64_t>(aLast, toBase - base);

            auto putFresh = [&](int64_t ia, Real s) MOVRA_ALWAYS_INLINE_LAMBDA {
                if (!regular) return acc.putScaled(Int(base + aFirst + ia), s, fresh);
                addScaled<N>(cells + ia * cols, s, fp, cols);
            };
            auto putOld = [&](int64_t ia, Real s, const PmfRun& old) MOVRA_ALWAYS_INLINE_LAMBDA {
                addScaled<N>(cells + ia * cols, s, old.p, cols);
            };
            auto putPair = [&](int64_t ia, Real s0, Real s1, const PmfRun& old)
                               MOVRA_ALWAYS_INLINE_LAMBDA {
                                   if (!regular) {
                                       acc.putScaled(Int(base + aFirst + ia), s0, fresh);
                                       return putOld(ia, s1, old);
                                   }
                                   addScaledPair<N>(cells + ia * cols, s0, fp, s1, old.p, cols);
                               };

            if (c == 0) {  // nobody in service: every ell' is a fresh service duration
                for (int64_t ia = from; ia <= to; ia++) {
                    Real prob_a = ap[ia];
                    if (prob_a > 0) putFresh(ia, weight * prob_a);
                }
                return;
            }
            // Below z' = c, min(z', c) = z' changes with every arrival; from z' = c on the
            // Bernoulli PMF of entityIsOld is the same for all of them.
            const int64_t bulk = std::min(std::max(c - base - aFirst, from), to + 1);
            for (int64_t ia = from; ia < bulk; ia++) {
                Real prob_a = ap[ia];
                if (!(prob_a > 0)) continue;
                const Real w = weight * prob_a;  // level + 1 of the stack
                const int64_t zprime = base + aFirst + ia;
                if (zprime == 0) {
                    putFresh(ia, w);
                    continue;
                }
                Real prob_new, prob_old;
                entityIsOld(Real(stay) / checkDenominator(Real(zprime)), prob_new, prob_old);
                if (!(prob_old > 0))
                    putFresh(ia, w * prob_new);
                else if (!(prob_new > 0))
                    putOld(ia, w * prob_old, relabelled.at(iz));
                else
                    putPair(ia, w * prob_new, w * prob_old, relabelled.at(iz));
            }
            if (bulk > to) return;
            Real prob_new, prob_old;
            entityIsOld(Real(stay) / checkDenominator(Real(c)), prob_new, prob_old);
            if (!(prob_old > 0)) {
                if (regular) return putRows<N>(cells, cols, ap, bulk, to, weight, prob_new, fp);
                for (int64_t ia = bulk; ia <= to; ia++) {
                    Real prob_a = ap[ia];
                    if (prob_a > 0) putFresh(ia, (weight * prob_a) * prob_new);
                }
                return;
            }
            // relabel(z) is formed at its first use: the first arrival of weight > 0.
            int64_t ia = bulk;
            while (ia <= to && !(ap[ia] > 0)) ia++;
            if (ia > to) return;
            const PmfRun& old = relabelled.at(iz);
            if (!(prob_new > 0))
                return putRows<N>(cells, cols, ap, ia, to, weight, prob_old, old.p);
            if (regular)
                return putRowPairs<N>(cells, cols, ap, ia, to, weight, prob_new, fp, prob_old,
                                      old.p);
            for (; ia <= to; ia++) {
                Real prob_a = ap[ia];
                if (!(prob_a > 0)) continue;
                const Real w = weight * prob_a;
                putPair(ia, w * prob_new, w * prob_old, old);
            }
        });
}
}  // namespace

namespace {
// The full map's puts, one row of values at a time into a joint accumulator whose rows
// each span only the values put into them. The same weights as fullMapPuts, put in the
// same order (a fresh duration before a relabelled one), so every slot gets the same sums.
void fullMapSparsePuts(const StationStep& step, JointAccumulator& acc, const PmfRun& fresh,
                       RelabelRuns& relabelled, int64_t rowLo, int64_t rowHi) {
    const Int c = step.servers;
    const PmfRun& dist_a = step.arrivals;
    SamplingStack stack(step.routesBack ? 6 : 5);
    forEachDeparture(step, stack, [&](Int iz, Int z, Int d, int64_t base, int level) {
        const Real weight = stack.branchProbability(level);
        const Int stay = std::min(z, c) - d;
        const int64_t from = std::max<int64_t>(0, rowLo - base - dist_a.first);
        const int64_t to =
            std::min<int64_t>(int64_t(dist_a.count) - 1, rowHi - base - dist_a.first);
        for (int64_t ia = from; ia <= to; ia++) {
            Real prob_a = dist_a.p[ia];
            if (!(prob_a > 0)) continue;
            const Real w = weight * prob_a;
            const int64_t zprime = base + dist_a.first + ia;
            SimpleAccumulator* row = acc.childOf(Int(zprime));
            if (zprime == 0 || c == 0) {
                row->putScaled(w, fresh);
                continue;
            }
            Real prob_new, prob_old;
            entityIsOld(Real(stay) / checkDenominator(Real(std::min<int64_t>(zprime, c))), prob_new,
                        prob_old);
            if (prob_new > 0) row->putScaled(w * prob_new, fresh);
            if (prob_old > 0) row->putScaled(w * prob_old, relabelled.at(iz));
        }
    });
}

// The dense grid is used when its columns are about as many as the values a row can
// take and it stays small; otherwise (values far apart: a service duration of 1 beside
// remaining times near the top of the range) each row keeps only its own values.
constexpr int64_t kGridCells = int64_t(1) << 24;
bool gridFits(int64_t rows, int64_t cols, int64_t freshWidth, RelabelRuns* relabelled) {
    if (rows * cols > kGridCells) return false;
    const int64_t bound = 2 * freshWidth + 16;
    // The widest relabelled row is looked for only when the fresh durations alone leave
    // the columns in doubt.
    return cols <= bound || (relabelled != nullptr && cols <= bound + 2 * relabelled->widest());
}
}  // namespace

namespace {
// Every ell' of a step lies in colLo .. colHi (lo > hi: none): a fresh service duration
// or a relabelled one.
void fullMapColumns(const StationStep& step, const PmfRun& service, const RelabelRuns& relabelled,
                    int64_t& colLo, int64_t& colHi) {
    colLo = INT32_MAX;
    colHi = -1;
    if (service.count > 0) {
        colLo = service.first;
        colHi = int64_t(service.first) + service.count - 1;
    }
    if (step.servers > 0) {
        Int lo, hi;
        relabelled.span(lo, hi);
        if (lo <= hi) {
            colLo = std::min<int64_t>(colLo, lo);
            colHi = std::max<int64_t>(colHi, hi);
        }
    }
}

// The full map's puts of rows rowLo .. rowHi into the grid acc, over the columns
// colLo .. colLo + cols - 1 (and the partial map's, when partial is not null).
void fullMapGridPuts(const StationStep& step, JointGridAccumulator& acc, const PmfRun& service,
                     RelabelRuns& relabelled, int64_t colLo, Int cols, int64_t rowLo, int64_t rowHi,
                     SimpleAccumulator* partial) {
    // Both ell' distributions over every column, so that each put is one fixed-width pass.
    Real shortRow[16] = {};
    ScratchBuffer<Real> longRow;
    longRow.bind(step.scratch);
    if (cols > 16) longRow.reset(cols);
    Real* serviceRow = cols > 16 ? longRow.get() : shortRow;
    for (Int k = 0; k < service.count; k++) serviceRow[service.first - colLo + k] = service.p[k];
    PmfRun fresh = service;
    fresh.p = serviceRow;
    fresh.first = Int(colLo);
    fresh.count = cols;
    if (step.servers > 0) relabelled.layout(Int(colLo), cols);
    auto puts = [&](auto columns) {
        fullMapPuts<decltype(columns)::value>(step, acc, fresh, relabelled, rowLo, rowHi, partial);
    };
    switch (cols) {
        case 1: puts(std::integral_constant<int, 1>()); break;
        case 2: puts(std::integral_constant<int, 2>()); break;
        case 3: puts(std::integral_constant<int, 3>()); break;
        case 4: puts(std::integral_constant<int, 4>()); break;
        case 5: puts(std::integral_constant<int, 5>()); break;
        case 6: puts(std::integral_constant<int, 6>()); break;
        case 8: puts(std::integral_constant<int, 8>()); break;
        default: puts(std::integral_constant<int, 0>()); break;
    }
}
}  // namespace

Pmf* stationFullMap(const StationStep& step, Int leftTail, Int rightTail) {
    const Int c = step.servers;
    const PmfRun service = PmfRun::of(step.serviceDuration);
    const PmfRun& dist_a = step.arrivals;
    // relabel(z) depends on z alone: formed on first use, once per z.
    RelabelRuns relabelled(step.state, step.scratch);

    int64_t zLow, zHigh;
    reachable(step, zLow, zHigh);
    const int64_t rowLo = std::max<int64_t>({leftTail, zLow, 0});
    const int64_t rowHi = std::min<int64_t>(rightTail, zHigh);
    int64_t colLo, colHi;
    fullMapColumns(step, service, relabelled, colLo, colHi);
    // No z' within the limits, or no ell' at all: nothing can be put.
    if (dist_a.count == 0 || rowLo > rowHi || colLo > colHi) fail(msg::EmptyPmf);
    if (!gridFits(rowHi - rowLo + 1, colHi - colLo + 1, service.count,
                  c > 0 ? &relabelled : nullptr)) {
        if (c > 0) relabelled.layoutCompact();
        JointAccumulator acc(step.obj, 2);
        fullMapSparsePuts(step, acc, service, relabelled, rowLo, rowHi);
        // Every row empty: what the grid refuses too.
        Pmf* next = acc.toPmf();
        if (next->joint.marginal->simple.length == 0) fail(msg::EmptyPmf);
        return next;
    }
    JointGridAccumulator acc(step.obj, Int(rowLo), Int(rowHi), Int(colLo), Int(colHi),
                             step.scratch);
    fullMapGridPuts(step, acc, service, relabelled, colLo, Int(colHi - colLo + 1), rowLo, rowHi,
                    nullptr);
    return acc.toPmf();
}

namespace {
constexpr Int kFusedArrivalValues = 4;

// stationTails of the PMF partial.toPmf() would make, without making it: the total is
// added up as toPmf adds it, and only the values the two running sums reach are divided
// by it, each as toPmf divides it.
void tailsOfWeights(SimpleAccumulator& partial, Int& leftTail, Int& rightTail) {
    if (partial.isEmpty()) fail(msg::EmptyPmf);
    Int lo, hi;
    if (!keptRange(partial.elements.get(), partial.length, lo, hi)) {
        leftTail = rightTail = 0;  // the tails of the empty PMF toPmf makes at 0
        return;
    }
    const Real* w = partial.elements.get() + lo;
    const Int n = hi - lo + 1, first = Int(int64_t(partial.offset) + lo);
    Real total = 0;
    for (Int k = 0; k < n; k++) total += w[k];
    const Real epsilon = kTailTolerance / checkDenominator(kTailSides);
    leftTail = leftTailOfWeights(w, first, n, total, epsilon);
    rightTail = rightTailOfWeights(w, first, n, total, epsilon);
}
}  // namespace

Pmf* stationNextState(const StationStep& step) {
    // Both maps in one pass over the outcomes, when the partial map's window can be
    // reserved and the grid holds every row the step can reach: the full map's cells of
    // the rows within the tails get the same puts in the same order as in a grid of those
    // rows alone, and the rows beyond are dropped. Those rows cost what the pass saves
    // when the arrivals take many values (their tail is mostly cut), so only a few
    // arrival values qualify. A relabel(z) that fails there may serve only rows the tails
    // drop: the maps then run apart, as below, and fail (or not) as they would.
    const PmfRun& dist_a = step.arrivals;
    int64_t zLow, zHigh;
    reachable(step, zLow, zHigh);
    if (dist_a.regular && dist_a.count > 0 && dist_a.count <= kFusedArrivalValues && 0 <= zLow &&
        zLow <= zHigh && zHigh <= INT32_MAX && zHigh - zLow < INT32_MAX) {
        const PmfRun service = PmfRun::of(step.serviceDuration);
        RelabelRuns relabelled(step.state, step.scratch);
        int64_t colLo, colHi;
        fullMapColumns(step, service, relabelled, colLo, colHi);
        if (colLo <= colHi && gridFits(zHigh - zLow + 1, colHi - colLo + 1, service.count,
                                       step.servers > 0 ? &relabelled : nullptr)) {
            SimpleAccumulator partialAcc(step.obj);
            partialAcc.elements.bind(step.scratch);
            partialAcc.reserve(Int(zLow), Int(zHigh));
            JointGridAccumulator acc(step.obj, Int(zLow), Int(zHigh), Int(colLo), Int(colHi),
                                     step.scratch);
            relabelled.deferFailures();
            fullMapGridPuts(step, acc, service, relabelled, colLo, Int(colHi - colLo + 1), zLow,
                            zHigh, &partialAcc);
            if (!relabelled.failed()) {
                Int leftTail, rightTail;
                tailsOfWeights(partialAcc, leftTail, rightTail);
                const int64_t rowLo = std::max<int64_t>(leftTail, zLow);
                const int64_t rowHi = std::min<int64_t>(rightTail, zHigh);
                if (rowLo > rowHi) fail(msg::EmptyPmf);
                return acc.toPmf(Int(rowLo), Int(rowHi));
            }
        }
    }
    Pmf* partial = stationPartialMap(step);
    Int leftTail, rightTail;
    stationTails(partial, leftTail, rightTail);
    return stationFullMap(step, leftTail, rightTail);
}

void stationTails(Pmf* partial, Int& leftTail, Int& rightTail) {
    Real epsilon = kTailTolerance / checkDenominator(kTailSides);
    leftTail = computeLeftTail(partial, epsilon);
    rightTail = computeRightTail(partial, epsilon);
}

}  // namespace movra
