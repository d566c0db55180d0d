#include "station_map.h"

#include <algorithm>

#include "../pmf/accumulator.h"
#include "../pmf/distributions.h"
#include "../pmf/joint_accumulator.h"
#include "../pmf/pmf_query.h"
#include "../pmf/sampling_stack.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

namespace {
// z - d + phi + a must stay an Int: a state that cannot be represented is refused.
Int nextCount(int64_t zprime) {
    if (zprime > INT32_MAX) fail(msg::OutOfMemory);
    return Int(zprime);
}
}  // namespace

Pmf* stationRelabel(MovraObject* obj, Pmf* state, Int z) {
    Pmf* dist_ell = lookupConditionalPmf1(state, z);
    SamplingStack stack(1);
    SimpleAccumulator acc(obj);
    const Real* e = dist_ell->simple.elements;
    for (Int i = 0; i < dist_ell->simple.length; i++) {
        Real prob_ell = e[i];
        if (!(prob_ell > 0)) continue;
        Int ell = dist_ell->simple.offset + i;
        stack.set(0, prob_ell);
        if (ell == 1) continue;  // that entity completes during the step
        acc.putSingle(stack.branchProbability(0), ell - 1);
    }
    return acc.toPmf();
}

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

void formCompletions(MovraObject* obj, Pmf* state, Int servers, Pmf** out) {
    Pmf* dist_z = lookupMarginalPmf(state);
    for (Int i = 0; i < dist_z->simple.length; i++) {
        if (!(dist_z->simple.elements[i] > 0)) continue;
        Int z = dist_z->simple.offset + i;
        Real h = lookupProbability(lookupConditionalPmf1(state, z), 1);
        out[i] = binomial(obj, std::min(z, servers), h);
    }
}

CompletionTable::CompletionTable(MovraObject* obj, Pmf* state, Int servers)
    : table_(lookupMarginalPmf(state)->simple.length) {
    formCompletions(obj, state, servers, table_.get());
}

namespace {
// Walks every (z, d, phi, a) combination of positive weight of a step, calling
// visit(z, d, zprime, level of the arrivals loop, stack). Without routesBack there is no
// phi loop (phi = 0 and one level fewer).
template <class Visit>
void forEachArrival(const StationStep& step, SamplingStack& stack, Visit&& visit) {
    Pmf* dist_z = lookupMarginalPmf(step.state);
    Pmf* dist_a = step.arrivals;
    // The completions that re-enter, Binomial(d, selfRouting), formed once per d.
    BinomialMemo routed(step.obj, step.selfRouting);
    const int levelA = step.routesBack ? 3 : 2;
    for (Int iz = 0; iz < dist_z->simple.length; iz++) {
        Real prob_z = dist_z->simple.elements[iz];
        if (!(prob_z > 0)) continue;
        Int z = dist_z->simple.offset + iz;
        stack.set(0, prob_z);
        Pmf* dist_d = step.completions[iz];
        for (Int id = 0; id < dist_d->simple.length; id++) {
            Real prob_d = dist_d->simple.elements[id];
            if (!(prob_d > 0)) continue;
            Int d = dist_d->simple.offset + id;
            stack.branch(1, prob_d);
            Pmf* dist_phi = step.routesBack ? routed.forTrials(d) : nullptr;
            Int phiCount = step.routesBack ? dist_phi->simple.length : 1;
            for (Int iphi = 0; iphi < phiCount; iphi++) {
                Int phi = 0;
                if (step.routesBack) {
                    Real prob_phi = dist_phi->simple.elements[iphi];
                    if (!(prob_phi > 0)) continue;
                    phi = dist_phi->simple.offset + iphi;
                    stack.branch(2, prob_phi);
                }
                const int64_t base = int64_t(z) - d + phi;
                for (Int ia = 0; ia < dist_a->simple.length; ia++) {
                    Real prob_a = dist_a->simple.elements[ia];
                    if (!(prob_a > 0)) continue;
                    stack.branch(levelA, prob_a);
                    visit(z, d, base + dist_a->simple.offset + ia, levelA);
                }
            }
        }
    }
}
}  // namespace

Pmf* stationPartialMap(const StationStep& step) {
    SamplingStack stack(step.routesBack ? 4 : 3);
    SimpleAccumulator acc(step.obj);
    forEachArrival(step, stack, [&](Int, Int, int64_t zprime, int level) {
        acc.putSingle(stack.branchProbability(level), nextCount(zprime));
    });
    return acc.toPmf();
}

Pmf* stationFullMap(const StationStep& step, Int leftTail, Int rightTail) {
    MovraObject* obj = step.obj;
    const Int c = step.servers;
    Pmf* service = step.serviceDuration;
    Pmf* dist_z = lookupMarginalPmf(step.state);
    // relabel(z) depends on z alone: formed on first use, once per z.
    ScratchBuffer<Pmf*> relabelled(dist_z->simple.length);
    SamplingStack stack(step.routesBack ? 6 : 5);
    JointAccumulator acc(obj, 2);

    // putDouble(weight, zprime, ellprime) for every ellprime, reaching zprime's child once
    // (and only once a weight greater than 0 comes, as putDouble would).
    auto putOver = [&](Pmf* dist_ellprime, Int zprime, int level) {
        SimpleAccumulator* child = nullptr;
        for (Int i = 0; i < dist_ellprime->simple.length; i++) {
            Real prob_ellprime = dist_ellprime->simple.elements[i];
            if (!(prob_ellprime > 0)) continue;
            stack.branch(level, prob_ellprime);
            Real weight = stack.branchProbability(level);
            if (!(weight > 0)) continue;
            if (child == nullptr) child = acc.childOf(zprime);
            child->SimpleAccumulator::putSingle(weight, dist_ellprime->simple.offset + i);
        }
    };

    forEachArrival(step, stack, [&](Int z, Int d, int64_t zprime64, int levelA) {
        if (zprime64 < leftTail || zprime64 > rightTail) return;
        Int zprime = Int(zprime64);
        if (zprime == 0 || c == 0) {
            putOver(service, zprime, levelA + 1);
            return;
        }
        // The Bernoulli PMF of entityIsOld, in the values bernoulli() would store.
        Real q = Real(std::min(z, c) - d) / checkDenominator(Real(std::min(zprime, c)));
        Real prob_old[2];
        if (q <= 0) {
            prob_old[0] = 1.0;
            prob_old[1] = 0.0;
        } else if (q >= 1) {
            prob_old[0] = 0.0;
            prob_old[1] = 1.0;
        } else {
            prob_old[0] = 1 - q;
            prob_old[1] = q;
        }
        for (int entityIsOld = 0; entityIsOld <= 1; entityIsOld++) {
            if (!(prob_old[entityIsOld] > 0)) continue;
            stack.branch(levelA + 1, prob_old[entityIsOld]);
            Pmf* dist_ellprime = service;
            if (entityIsOld == 1) {
                Pmf*& cached = relabelled[z - dist_z->simple.offset];
                if (cached == nullptr) cached = stationRelabel(obj, step.state, z);
                dist_ellprime = cached;
            }
            putOver(dist_ellprime, zprime, levelA + 2);
        }
    });
    return acc.toPmf();
}

void stationTails(Pmf* partial, Int& leftTail, Int& rightTail) {
    Real epsilon = kTailTolerance / checkDenominator(kTailSides);
    leftTail = computeLeftTail(partial, epsilon);
    rightTail = computeRightTail(partial, epsilon);
}

}  // namespace movra
