// The single-station model: one station with c identical servers, carried as the joint
// PMF of (number in system z, remaining service time ell of an entity in service).
// Operations write a field only once the value for it is complete, so a failing call
// leaves the instance as it was. Each operation is a member named after it.
#pragma once
#include "../pmf/pmf.h"
#include "configuration.h"

namespace movra {

struct StandardMultiserver : StationConfiguration<StandardMultiserver> {
    MovraObject header;             // arena and counters; must stay first
    Pmf* _numberOfArrivalsPmf;      // arrivals per step (simple)
    Pmf* _serviceDurationPmf;       // service duration in steps (simple); 0 refused by step
    Int _numberOfServers;           // c; must not be negative when stepping
    Pmf* _internalState;            // joint PMF of depth 2 over (z, ell)
    Int _time;                      // steps taken
    Pmf* _markNumberOfArrivalsPmf;  // saved by mark, brought back by restore
    Pmf* _markServiceDurationPmf;
    Int _markNumberOfServers;
    Pmf* _markInternalState;
    Int _markTime;

    MovraObject* arena() { return &header; }
    // The configuration: every field with its saved copy (configuration.h).
    template <class Visit>
    void forEachField(Visit&& visit) {
        forEachStationField(visit, FieldKind::JointPmf);
    }
    // Marks the PMF roots of the configuration, then sweeps.
    static void memRelease(MovraObject* obj);
    void defaults();
    void init();
    Pmf* getNumberOfEntitiesInSystemPmf();
    void resetWithNumberOfEntitiesInSystem(Int _numberOfEntitiesInSystem);
    Pmf* resetMap(Int _z0);
    Pmf* relabel(Int _z);
    Pmf* partialMovraMap();
    Pmf* movraMap(Int _leftTail, Int _rightTail);
    void step();
    Pmf* observationMapRange(int64_t _z0, int64_t _z1);
    void applyObservationRange(Int _startOfRange, Int _endOfRange);
    void applyObservationValue(Int _observedNumberOfEntitiesInSystem);
};

}  // namespace movra
