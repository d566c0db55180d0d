// The exact single-station model: the station of StandardMultiserver with every busy
// server's remaining time carried (exact_station.h), so that it is the true queue for
// any number of servers. Operations write a field only once the value for it is complete,
// so a failing call leaves the instance as it was.
#pragma once
#include "../pmf/pmf.h"
#include "configuration.h"
#include "exact_station.h"

namespace movra {

// Default limit on the states of one instance. A state costs 8 bytes in the record and
// some 40 more in the scratch of a step (the merged and joined runs, the next runs, the
// multiset indexes), the worst case being one state per multiset; the plan a step keeps
// for the next (exact_station.h) holds that scratch again between steps, some 70 bytes a
// state with its maps and adds. 2 million states stay within about 250 MB, which a small
// machine affords, and cover the configurations the exact model is meant for (up to
// c = 8 with services of 10 steps).
constexpr int64_t kDefaultMaxStates = 2000000;

// The default of an exact station's state: no entity and no busy server, with certainty.
void setDefault(MovraObject* obj, ExactState*& field, FieldKind);

struct ExactMultiserver : StationConfiguration<ExactMultiserver> {
    MovraObject header;             // arena and counters; must stay first
    Pmf* _numberOfArrivalsPmf;      // arrivals per step (simple)
    Pmf* _serviceDurationPmf;       // service duration in steps (simple); 0 refused by step
    Int _numberOfServers;           // c; must not be negative when stepping
    ExactState* _internalState;     // PMF of (z, remaining times of the busy servers)
    Int _time;                      // steps taken
    int64_t _capacity;              // most entities in system; -1 for none
    Real _abandonmentProbability;   // each waiting entity leaves during a step with it
    Pmf* _markNumberOfArrivalsPmf;  // saved by mark, brought back by restore
    Pmf* _markServiceDurationPmf;
    Int _markNumberOfServers;
    ExactState* _markInternalState;
    Int _markTime;
    int64_t _markCapacity;
    Real _markAbandonmentProbability;
    int64_t _maxStates;            // a resource limit, not part of the configuration mark saves
    ExactFreshDraws* _freshDraws;  // draws of the starters, kept from step to step; may be null
    ExactLandscape* _landscape;    // heap, owned, with the kept step plan; made by the first step,
                                   // freed by dropCaches

    MovraObject* arena() { return &header; }
    // The configuration: every field with its saved copy (configuration.h).
    template <class Visit>
    void forEachField(Visit&& visit) {
        forEachStationField(visit, FieldKind::ExactState);
        visit(_capacity, _markCapacity, FieldKind::Capacity, "capacity");
        visit(_abandonmentProbability, _markAbandonmentProbability, FieldKind::Probability,
              "abandonment_probability");
    }
    static void memRelease(MovraObject* obj);
    void defaults();
    void init();
    Pmf* getNumberOfEntitiesInSystemPmf();
    void resetWithNumberOfEntitiesInSystem(Int _numberOfEntitiesInSystem);
    void step();
    // Whether the next step is so small that handing the interpreter's lock to another
    // thread and back would cost a good share of it: the lock is then kept.
    bool quickStep() const;
    void applyObservationRange(Int _startOfRange, Int _endOfRange);
    void applyObservationValue(Int _observedNumberOfEntitiesInSystem);
    Real blockingProbability();
    void setMaxStates(int64_t limit);
    ExactStepConfig stepConfig() const;
    // Makes this new instance a copy of original: the same configuration, state, time and
    // mark, its records copied into this arena bit for bit, and what original learnt
    // (learnFrom). Fields are written only once everything is made.
    void copyFrom(const ExactMultiserver& original);
    // A copy of this instance (its records read back from the original's form) starts
    // with what the original learnt, so that its first step costs what the original's
    // next would: a copy of the landscape, and the original's numbers on the records
    // that match. Only what is kept outside the value changes.
    void learnFrom(const ExactMultiserver& original);
    // Frees what the instance keeps outside its arena (before deallocation).
    void dropCaches();
};

}  // namespace movra
