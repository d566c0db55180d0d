// The maps of the two models written as the loop nests of their mathematics: one loop per
// random quantity, each distribution a PMF in the arena, every outcome put through an
// accumulator. They are the plain statement the fast kernels (station_map.cpp and the
// network's step) are checked against, bit for bit; the models themselves step with the
// kernels. Inputs are passed as plain values, so the reference reads no model record.
//
// Loop convention: each loop runs upward over the stored range of its PMF and skips a
// value of probability not greater than 0 together with everything nested in it; an
// outcome's weight is the running product of the loop probabilities, from the outside in.
#pragma once
#include "../pmf/pmf.h"

namespace movra::reference {

// One station (or one node of a network) for one step.
struct Station {
    MovraObject* obj;      // arena of every PMF made
    Pmf* state;            // joint PMF of depth 2 over (z, ell)
    Int servers;           // c, not negative
    Pmf* arrivals;         // simple PMF of all arrivals of the step (a node: external and inflow)
    Pmf* serviceDuration;  // simple PMF, values >= 1
    // Probability that a completion re-enters the station. 0 for a lone station: phi is then
    // 0 with probability exactly 1, which changes no weight.
    Real selfRouting;
};

// ell - 1 given z and ell != 1: the remaining service time of an entity still in service.
Pmf* relabel(MovraObject* obj, Pmf* state, Int z);
// d given z: Binomial(min(z, c), P(ell = 1 | z)).
Pmf* completions(MovraObject* obj, Pmf* state, Int servers, Int z);
// z' = z - d + phi + a.
Pmf* partialMap(const Station& s);
// (z', ell') for leftTail <= z' <= rightTail.
Pmf* fullMap(const Station& s, Int leftTail, Int rightTail);
// The next state: the full map within the tails of the partial map.
Pmf* step(const Station& s);

// The number of completions at a node with that state that are routed with probability
// `routing` to one other node.
Pmf* flow(MovraObject* obj, Pmf* state, Int servers, Real routing);

struct Network {
    MovraObject* obj;
    Int nodes;                     // N
    Pmf* const* state;             // per node
    const Int* servers;            // per node
    Pmf* const* externalArrivals;  // per node
    Pmf* const* serviceDuration;   // per node
    const Real* routing;           // N x N, routing[s * N + t]: from s to t
};
// The node states after one step, into next[0 .. N).
void step(const Network& n, Pmf** next);

}  // namespace movra::reference
