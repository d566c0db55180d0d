#include "standard_multiserver.h"

#include "../pmf/accumulator.h"
#include "../pmf/pmf_query.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "station_map.h"

static MovraObject* arena(StandardMultiserver* self) { return &self->header; }

void _StandardMultiserver_memRelease(MovraObject* obj) {
    StandardMultiserver* self = reinterpret_cast<StandardMultiserver*>(obj);
    flag(self->_numberOfArrivalsPmf);
    flag(self->_serviceDurationPmf);
    flag(self->_internalState);
    flag(self->_markNumberOfArrivalsPmf);
    flag(self->_markServiceDurationPmf);
    flag(self->_markInternalState);
    release(obj);
}

void _StandardMultiserver_defaults(StandardMultiserver* self) {
    MovraObject* obj = arena(self);
    self->_numberOfArrivalsPmf = defaultPmf(obj, createSimplePmfConfig(obj));
    self->_serviceDurationPmf = defaultPmf(obj, createSimplePmfConfig(obj));
    self->_numberOfServers = 0;
    self->_internalState = defaultPmf(obj, createJointPmfConfig(obj, 2));
    self->_time = 0;
    self->_markNumberOfArrivalsPmf = defaultPmf(obj, createSimplePmfConfig(obj));
    self->_markServiceDurationPmf = defaultPmf(obj, createSimplePmfConfig(obj));
    self->_markNumberOfServers = 0;
    self->_markInternalState = defaultPmf(obj, createJointPmfConfig(obj, 2));
    self->_markTime = 0;
}

void _StandardMultiserver_init(StandardMultiserver* self) {
    SimpleAccumulator* acc = new SimpleAccumulator(arena(self));
    try {
        acc->putSingle(1.0, 1);
    } catch (...) {
        delete acc;
        throw;
    }
    self->_serviceDurationPmf = acc->toPmfAndDelete();
}

void _StandardMultiserver_mark(StandardMultiserver* self) {
    self->_markNumberOfArrivalsPmf = self->_numberOfArrivalsPmf;
    self->_markServiceDurationPmf = self->_serviceDurationPmf;
    self->_markNumberOfServers = self->_numberOfServers;
    self->_markInternalState = self->_internalState;
    self->_markTime = self->_time;
}

void _StandardMultiserver_restore(StandardMultiserver* self) {
    self->_numberOfArrivalsPmf = self->_markNumberOfArrivalsPmf;
    self->_serviceDurationPmf = self->_markServiceDurationPmf;
    self->_numberOfServers = self->_markNumberOfServers;
    self->_internalState = self->_markInternalState;
    self->_time = self->_markTime;
}

Pmf* _StandardMultiserver_getNumberOfEntitiesInSystemPmf(StandardMultiserver* self) {
    return lookupMarginalPmf(self->_internalState);
}

void _StandardMultiserver_resetWithNumberOfEntitiesInSystem(StandardMultiserver* self,
                                                           Int _numberOfEntitiesInSystem) {
    if (_numberOfEntitiesInSystem < 0) abort(msg::InvalidNumberOfEntities);
    if (self->_serviceDurationPmf->simple.offset == 0) abort(msg::InvalidServiceDuration);
    self->_internalState = _StandardMultiserver_resetMap(self, _numberOfEntitiesInSystem);
}

Pmf* _StandardMultiserver_resetMap(StandardMultiserver* self, Int _z0) {
    return stationResetMap(arena(self), self->_serviceDurationPmf, _z0);
}

Pmf* _StandardMultiserver_relabel(StandardMultiserver* self, Int _z) {
    return stationRelabel(arena(self), self->_internalState, _z);
}

static StationStep stationStep(StandardMultiserver* self, const CompletionTable& completions) {
    return StationStep{arena(self),
                       self->_internalState,
                       self->_numberOfServers,
                       self->_numberOfArrivalsPmf,
                       self->_serviceDurationPmf,
                       false,
                       0.0,
                       completions.table};
}

Pmf* _StandardMultiserver_partialMovraMap(StandardMultiserver* self) {
    CompletionTable completions(arena(self), self->_internalState, self->_numberOfServers);
    return stationPartialMap(stationStep(self, completions));
}

Pmf* _StandardMultiserver_movraMap(StandardMultiserver* self, Int _leftTail, Int _rightTail) {
    CompletionTable completions(arena(self), self->_internalState, self->_numberOfServers);
    return stationFullMap(stationStep(self, completions), _leftTail, _rightTail);
}

void _StandardMultiserver_step(StandardMultiserver* self) {
    if (self->_numberOfServers < 0) abort(msg::InvalidNumberOfServers);
    if (self->_serviceDurationPmf->simple.offset == 0) abort(msg::InvalidServiceDuration);
    // The completion distributions are the same for both maps: formed once.
    CompletionTable completions(arena(self), self->_internalState, self->_numberOfServers);
    StationStep step = stationStep(self, completions);
    Pmf* _p = stationPartialMap(step);
    Int _leftTail, _rightTail;
    stationTails(_p, _leftTail, _rightTail);
    Pmf* next = stationFullMap(step, _leftTail, _rightTail);
    self->_internalState = next;
    // Wraps at the top of the Int range instead of overflowing.
    self->_time = Int(uint32_t(self->_time) + 1u);
}

Pmf* _StandardMultiserver_observationMapRange(StandardMultiserver* self, int64_t _z0, int64_t _z1) {
    return stationObservationMapRange(arena(self), self->_internalState, _z0, _z1);
}

void _StandardMultiserver_applyObservationRange(StandardMultiserver* self, Int _startOfRange,
                                                Int _endOfRange) {
    self->_internalState = _StandardMultiserver_observationMapRange(self, _startOfRange, _endOfRange);
}

void _StandardMultiserver_applyObservationValue(StandardMultiserver* self,
                                                Int _observedNumberOfEntitiesInSystem) {
    self->_internalState = _StandardMultiserver_observationMapRange(
        self, _observedNumberOfEntitiesInSystem, int64_t(_observedNumberOfEntitiesInSystem) + 1);
}
