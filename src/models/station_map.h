// The maps of one queueing station, shared by the single-station model and by every node
// of the network: reset, observation, and the partial and full forward maps (relabel is
// station_reference's).
// Each map reads its inputs and returns a new PMF in the arena; none changes the instance.
//
// Loop convention of every map: a loop runs over the stored range of its PMF upward and
// skips a value whose probability is not greater than 0, with everything nested in it;
// the weight of an outcome is the running product of the loop probabilities, formed from
// the outside in. Results are bit-identical to forming every distribution inside the
// innermost loop that needs it: distributions that do not change within a call are formed
// once per call and reused.
#pragma once
#include "../pmf/accumulator.h"
#include "../pmf/pmf.h"
#include "../runtime/scratch.h"

namespace movra {

// z = z0 with certainty, ell following the service duration PMF.
Pmf* stationResetMap(MovraObject* obj, Pmf* serviceDuration, Int z0);
// The state conditioned on z0 <= z < z1 (64-bit bounds: observing the largest Int
// as a value ends the range one past it).
Pmf* stationObservationMapRange(MovraObject* obj, Pmf* state, int64_t z0, int64_t z1);

class CompletionRuns;

// One station's quantities for a step. With routesBack, completions re-enter the station
// with probability selfRouting each (the network's own-node routing); the loop over them
// sits between the completions and the arrivals.
struct StationStep {
    MovraObject* obj;
    Pmf* state;            // joint PMF of depth 2 over (z, ell)
    Int servers;           // c, not negative
    PmfRun arrivals;       // all arrivals of the step
    Pmf* serviceDuration;  // simple PMF
    bool routesBack;
    Real selfRouting;
    // Binomial(min(z, c), P(ell = 1 | z)) for each stored z of the marginal: the
    // completions, shared by every map and flow of the step.
    const CompletionRuns* completions;
    ScratchCache* scratch;  // this thread's, resolved once per call (null: looked up)
};

// The completion distributions of every stored z of a state's marginal, formed once into
// scratch with the probabilities binomial() would store (nothing for p(z) <= 0).
class CompletionRuns {
public:
    CompletionRuns(Pmf* state, Int servers, ScratchCache* scratch = nullptr);
    const PmfRun& at(Int iz) const { return runs_[iz]; }  // iz: index in the marginal
    Int maxTrials() const { return maxTrials_; }          // the largest d held
    // Over every z with completions, the least z - d and the greatest z - d, and the
    // greatest z - d + d' with d' up to z's largest d (completions that may re-enter):
    // where the next number in system lies before the arrivals. False when no z has any.
    bool departureSpan(int64_t& low, int64_t& high, int64_t& highRoutedBack) const {
        low = baseLow_;
        high = baseHigh_;
        highRoutedBack = baseHighBack_;
        return baseLow_ <= baseHigh_;
    }

private:
    ScratchBuffer<Real> values_;  // the distributions end to end
    ScratchBuffer<PmfRun> runs_;  // runs_[iz] reads values_
    Int maxTrials_ = 0;
    int64_t baseLow_ = INT64_MAX, baseHigh_ = -1, baseHighBack_ = -1;
};

// PMF of the number of entities after the step.
Pmf* stationPartialMap(const StationStep& step);
// Joint PMF over (z', ell') after the step, z' limited to leftTail..rightTail.
Pmf* stationFullMap(const StationStep& step, Int leftTail, Int rightTail);
// The next state: the full map limited to the tails of the partial map (stationTails),
// both maps formed in one pass where they can be; the same PMF and the same failures as
// the three calls in turn.
Pmf* stationNextState(const StationStep& step);

// Probability mass a step may cut from the new number in system, split evenly between
// the two tails (5e-09 each).
constexpr Real kTailTolerance = 1e-08;
constexpr Real kTailSides = 2.0;

// The two tail points of a partial map: each tail left out holds less than
// kTailTolerance / kTailSides.
void stationTails(Pmf* partial, Int& leftTail, Int& rightTail);

}  // namespace movra
