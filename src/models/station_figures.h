// Figures of one station read from its current state without changing it: the waiting
// time of an arriving or a queued entity, the completions of the next step with the
// expected number of busy servers, and the total variation between two PMFs of z.
// Plain numerics on heap scratch: nothing is allocated in an arena.
#pragma once
#include <vector>

#include "../pmf/pmf.h"
#include "exact_station.h"

namespace movra {

// Why a waiting time has no answer; the binding words the refusal.
enum class WaitStatus {
    Ok,
    NobodyArrives,
    NobodyAdmitted,
    NobodyAtPosition,
    NobodyServed,
    TooMuchWork
};

// The operations a waiting time may take (some seconds) before it gives up.
constexpr double kWaitWorkBudget = 1e9;

struct WaitResult {
    WaitStatus status = WaitStatus::Ok;
    std::vector<Real> pmf;  // pmf[w]: probability of a wait of w steps
};

// The wait of the entity that arrives in the next step, chosen at random among its
// arrivals (position < 0), or the remaining wait of the one with `position` entities
// waiting ahead of it now. The caller checks servers >= 1 and service durations >= 1.
//
// Standard station: with one server, exact (its state is the queue's); with more, the
// model's own step, without arrivals after the tagged entity's, applied to the entities
// ahead of it and conditioned each step on its not having started; its tail rule
// included, so the answer is the model's reading of the state.
WaitResult standardStationWait(Pmf* state, Pmf* arrivals, Pmf* service, Int servers,
                               int64_t position);
// Exact station, exact for any number of servers: only the busy servers' remaining
// times and the number of entities still to start before the tagged one matter.
// capacity < 0 for none. With abandonment, the wait of the entities that are served
// (NobodyServed when none is). "Out of memory" when the multisets met would outgrow
// maxStates.
WaitResult exactStationWait(ExactState* state, Pmf* arrivals, Pmf* service, Int servers,
                            int64_t capacity, Real abandonment, int64_t position,
                            int64_t maxStates);

// Weights normalised, with each tail holding less than tail / 2 cut and the rest
// normalised again; first is the value of the first weight kept.
std::vector<Real> finishPmf(const std::vector<Real>& weights, Real tail, Int& first);

struct ServiceFigures {
    Real busy = 0;                  // expected number of entities in service
    std::vector<Real> completions;  // completions[d]: P(d services end in the next step)
};
ServiceFigures standardStationFigures(Pmf* state, Int servers);
ServiceFigures exactStationFigures(ExactState* state);

// Half the L1 distance between two PMFs of z, each stored from its own offset.
Real totalVariation(Int offsetA, const std::vector<Real>& a, Int offsetB,
                    const std::vector<Real>& b);

}  // namespace movra
