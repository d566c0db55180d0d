#include "standard_multiserver.h"

#include "../pmf/pmf_query.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "station_map.h"
#include "station_reference.h"

namespace movra {

void StandardMultiserver::memRelease(MovraObject* obj) {
    configuration::flagRoots(*reinterpret_cast<StandardMultiserver*>(obj));
    release(obj);
}

void StandardMultiserver::defaults() { configuration::setDefaults(*this); }

void StandardMultiserver::init() { _serviceDurationPmf = createAtomicSimplePmf(arena(), 1); }

Pmf* StandardMultiserver::getNumberOfEntitiesInSystemPmf() {
    return lookupMarginalPmf(_internalState);
}

void StandardMultiserver::resetWithNumberOfEntitiesInSystem(Int _numberOfEntitiesInSystem) {
    if (_numberOfEntitiesInSystem < 0) fail(msg::InvalidNumberOfEntities);
    if (_serviceDurationPmf->simple.offset == 0) fail(msg::InvalidServiceDuration);
    _internalState = resetMap(_numberOfEntitiesInSystem);
}

Pmf* StandardMultiserver::resetMap(Int _z0) {
    return stationResetMap(arena(), _serviceDurationPmf, _z0);
}

Pmf* StandardMultiserver::relabel(Int _z) {
    return reference::relabel(arena(), _internalState, _z);
}

static StationStep stationStep(StandardMultiserver* self, const CompletionRuns& completions,
                               ScratchCache* scratch = nullptr) {
    return StationStep{self->arena(),
                       self->_internalState,
                       self->_numberOfServers,
                       PmfRun::of(self->_numberOfArrivalsPmf),
                       self->_serviceDurationPmf,
                       false,
                       0.0,
                       &completions,
                       scratch};
}

Pmf* StandardMultiserver::partialMovraMap() {
    CompletionRuns completions(_internalState, _numberOfServers);
    return stationPartialMap(stationStep(this, completions));
}

Pmf* StandardMultiserver::movraMap(Int _leftTail, Int _rightTail) {
    CompletionRuns completions(_internalState, _numberOfServers);
    return stationFullMap(stationStep(this, completions), _leftTail, _rightTail);
}

void StandardMultiserver::step() {
    if (_numberOfServers < 0) fail(msg::InvalidNumberOfServers);
    if (_serviceDurationPmf->simple.offset == 0) fail(msg::InvalidServiceDuration);
    // The completion distributions are the same for both maps: formed once.
    ScratchCache* scratch = ScratchCache::lookedUp();
    CompletionRuns completions(_internalState, _numberOfServers, scratch);
    _internalState = stationNextState(stationStep(this, completions, scratch));
    // Wraps at the top of the Int range instead of overflowing.
    _time = Int(uint32_t(_time) + 1u);
}

Pmf* StandardMultiserver::observationMapRange(int64_t _z0, int64_t _z1) {
    return stationObservationMapRange(arena(), _internalState, _z0, _z1);
}

void StandardMultiserver::applyObservationRange(Int _startOfRange, Int _endOfRange) {
    _internalState = observationMapRange(_startOfRange, _endOfRange);
}

void StandardMultiserver::applyObservationValue(Int _observedNumberOfEntitiesInSystem) {
    _internalState = observationMapRange(_observedNumberOfEntitiesInSystem,
                                         int64_t(_observedNumberOfEntitiesInSystem) + 1);
}

}  // namespace movra
