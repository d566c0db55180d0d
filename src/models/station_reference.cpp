#include "station_reference.h"

#include <algorithm>
#include <cstdint>

#include "../pmf/accumulator.h"
#include "../pmf/convolution.h"
#include "../pmf/distributions.h"
#include "../pmf/joint_accumulator.h"
#include "../pmf/pmf_query.h"
#include "../pmf/sampling_stack.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/scratch.h"
#include "station_map.h"

namespace movra::reference {

namespace {
// Calls f(value, probability) for every value of a simple PMF of probability > 0, upward.
template <class F>
void forEachValue(Pmf* pmf, F&& f) {
    for (Int i = 0; i < pmf->simple.length; i++) {
        Real p = pmf->simple.elements[i];
        if (p > 0) f(pmf->simple.offset + i, p);
    }
}

// z - d + phi + a, which a state must be able to hold.
Int entitiesAfter(Int z, Int d, Int phi, Int a) {
    const int64_t zprime = int64_t(z) - d + phi + a;
    if (zprime > INT32_MAX) fail(msg::OutOfMemory);
    return Int(zprime);
}
}  // namespace

// P(ell' = ell - 1 | z) = P(ell | z) / P(ell != 1 | z) for ell >= 2.
Pmf* relabel(MovraObject* obj, Pmf* state, Int z) {
    SamplingStack stack(1);
    SimpleAccumulator acc(obj);
    forEachValue(lookupConditionalPmf1(state, z), [&](Int ell, Real prob_ell) {
        stack.set(0, prob_ell);
        if (ell == 1) return;  // that entity completes during the step
        acc.putSingle(stack.branchProbability(0), ell - 1);
    });
    return acc.toPmf();
}

// Each of the min(z, c) entities in service completes independently with h = P(ell = 1 | z).
Pmf* completions(MovraObject* obj, Pmf* state, Int servers, Int z) {
    Real h = lookupProbability(lookupConditionalPmf1(state, z), 1);
    return binomial(obj, std::min(z, servers), h);
}

namespace {
// Every (z, d, phi, a) of positive weight, with phi ~ Binomial(d, r) the completions that
// re-enter and a the arrivals: visit(z, d, z', weight), weight = p(z) p(d) p(phi) p(a).
template <class Visit>
void forEachOutcome(const Station& s, SamplingStack& stack, Visit&& visit) {
    forEachValue(lookupMarginalPmf(s.state), [&](Int z, Real prob_z) {
        stack.set(0, prob_z);
        forEachValue(completions(s.obj, s.state, s.servers, z), [&](Int d, Real prob_d) {
            stack.branch(1, prob_d);
            forEachValue(binomial(s.obj, d, s.selfRouting), [&](Int phi, Real prob_phi) {
                stack.branch(2, prob_phi);
                forEachValue(s.arrivals, [&](Int a, Real prob_a) {
                    stack.branch(3, prob_a);
                    visit(z, d, entitiesAfter(z, d, phi, a), stack.branchProbability(3));
                });
            });
        });
    });
}
}  // namespace

Pmf* partialMap(const Station& s) {
    SamplingStack stack(4);
    SimpleAccumulator acc(s.obj);
    forEachOutcome(s, stack,
                   [&](Int, Int, Int zprime, Real weight) { acc.putSingle(weight, zprime); });
    return acc.toPmf();
}

Pmf* fullMap(const Station& s, Int leftTail, Int rightTail) {
    const Int c = s.servers;
    SamplingStack stack(6);
    JointAccumulator acc(s.obj, 2);
    auto putEach = [&](Int zprime, Pmf* dist_ellprime, int level) {
        forEachValue(dist_ellprime, [&](Int ellprime, Real prob_ellprime) {
            stack.branch(level, prob_ellprime);
            acc.putDouble(stack.branchProbability(level), zprime, ellprime);
        });
    };
    forEachOutcome(s, stack, [&](Int z, Int d, Int zprime, Real) {
        if (zprime < leftTail || zprime > rightTail) return;
        // Nobody in service after the step: the tracked entity starts a fresh service.
        if (zprime == 0 || c == 0) return putEach(zprime, s.serviceDuration, 4);
        // The model's central approximation: the entity whose remaining time the state
        // tracks is one of the min(z', c) in service after the step, and it was already in
        // service before it with probability q = (min(z, c) - d) / min(z', c), whatever
        // else happened in the step.
        Real q = Real(std::min(z, c) - d) / checkDenominator(Real(std::min(zprime, c)));
        forEachValue(bernoulli(s.obj, q), [&](Int entityIsOld, Real prob_entityIsOld) {
            stack.branch(4, prob_entityIsOld);
            putEach(zprime, entityIsOld == 1 ? relabel(s.obj, s.state, z) : s.serviceDuration, 5);
        });
    });
    return acc.toPmf();
}

Pmf* step(const Station& s) {
    Pmf* p = partialMap(s);
    Int leftTail, rightTail;
    stationTails(p, leftTail, rightTail);
    return fullMap(s, leftTail, rightTail);
}

// phi ~ Binomial(d, routing) of every d ~ completions(z) of every z.
Pmf* flow(MovraObject* obj, Pmf* state, Int servers, Real routing) {
    SamplingStack stack(3);
    SimpleAccumulator acc(obj);
    forEachValue(lookupMarginalPmf(state), [&](Int z, Real prob_z) {
        stack.set(0, prob_z);
        forEachValue(completions(obj, state, servers, z), [&](Int d, Real prob_d) {
            stack.branch(1, prob_d);
            forEachValue(binomial(obj, d, routing), [&](Int phi, Real prob_phi) {
                stack.branch(2, prob_phi);
                acc.putSingle(stack.branchProbability(2), phi);
            });
        });
    });
    return acc.toPmf();
}

// Flows are formed from the states at the start of the step; the flows into a node are
// independent, so its inflow is their convolution, in source order.
void step(const Network& n, Pmf** next) {
    const Int N = n.nodes;
    for (Int s = 0; s < N; s++) {
        Real sourceSum = 0.0;
        for (Int t = 0; t < N; t++) sourceSum += n.routing[int64_t(s) * N + t];
        if (sourceSum > 1) fail(msg::InvalidRouting);
    }
    ScratchBuffer<Pmf*> flowIn(N);
    for (Int t = 0; t < N; t++) flowIn[t] = createAtomicSimplePmf(n.obj, 0);
    for (Int s = 0; s < N; s++)
        for (Int t = 0; t < N; t++) {
            if (t == s) continue;  // re-entry is the node map's own loop
            Pmf* f = flow(n.obj, n.state[s], n.servers[s], n.routing[int64_t(s) * N + t]);
            flowIn[t] = convolution(n.obj, flowIn[t], f);
        }
    for (Int k = 0; k < N; k++) {
        const Station node{n.obj,
                           n.state[k],
                           n.servers[k],
                           convolution(n.obj, n.externalArrivals[k], flowIn[k]),
                           n.serviceDuration[k],
                           n.routing[int64_t(k) * N + k]};
        next[k] = step(node);
    }
}

}  // namespace movra::reference
