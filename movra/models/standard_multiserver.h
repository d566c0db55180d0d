// The single-station model: one station with c identical servers, carried as the joint
// PMF of (number in system z, remaining service time ell of an entity in service).
// Operations write a field only once the value for it is complete, so a failing call
// leaves the instance as it was.
#pragma once
#include <Python.h>

#include "../pmf/pmf.h"

struct _StandardMultiserver_object {
    MovraObject header;
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
};
typedef _StandardMultiserver_object StandardMultiserver;

extern PyTypeObject _StandardMultiserver_Type;

void _StandardMultiserver_memRelease(MovraObject* obj);
void _StandardMultiserver_defaults(StandardMultiserver* self);
void _StandardMultiserver_init(StandardMultiserver* self);
void _StandardMultiserver_mark(StandardMultiserver* self);
void _StandardMultiserver_restore(StandardMultiserver* self);
Pmf* _StandardMultiserver_getNumberOfEntitiesInSystemPmf(StandardMultiserver* self);
void _StandardMultiserver_resetWithNumberOfEntitiesInSystem(StandardMultiserver* self,
                                                           Int _numberOfEntitiesInSystem);
Pmf* _StandardMultiserver_resetMap(StandardMultiserver* self, Int _z0);
Pmf* _StandardMultiserver_relabel(StandardMultiserver* self, Int _z);
Pmf* _StandardMultiserver_partialMovraMap(StandardMultiserver* self);
Pmf* _StandardMultiserver_movraMap(StandardMultiserver* self, Int _leftTail, Int _rightTail);
void _StandardMultiserver_step(StandardMultiserver* self);
Pmf* _StandardMultiserver_observationMapRange(StandardMultiserver* self, int64_t _z0, int64_t _z1);
void _StandardMultiserver_applyObservationRange(StandardMultiserver* self, Int _startOfRange,
                                                Int _endOfRange);
void _StandardMultiserver_applyObservationValue(StandardMultiserver* self,
                                                Int _observedNumberOfEntitiesInSystem);
