#include "exact_multiserver.h"

#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

void ExactMultiserver::memRelease(MovraObject* obj) {
    ExactMultiserver* self = reinterpret_cast<ExactMultiserver*>(obj);
    flag(self->_numberOfArrivalsPmf);
    flag(self->_serviceDurationPmf);
    flag(self->_internalState);
    flag(self->_markNumberOfArrivalsPmf);
    flag(self->_markServiceDurationPmf);
    flag(self->_markInternalState);
    flag(self->_freshDraws);
    release(obj);
}

namespace {
// No entity and no busy server, with certainty.
ExactState* emptyState(MovraObject* obj) {
    ExactStateBuilder builder;
    builder.add(0, nullptr, 0, 1.0);
    return builder.build(obj, 1);
}
}  // namespace

void ExactMultiserver::defaults() {
    MovraObject* obj = arena();
    _numberOfArrivalsPmf = createAtomicSimplePmf(obj, 0);
    _serviceDurationPmf = createAtomicSimplePmf(obj, 0);
    _numberOfServers = 0;
    _internalState = emptyState(obj);
    _time = 0;
    _capacity = -1;
    _abandonmentProbability = 0.0;
    _markNumberOfArrivalsPmf = _numberOfArrivalsPmf;
    _markServiceDurationPmf = _serviceDurationPmf;
    _markNumberOfServers = 0;
    _markInternalState = _internalState;
    _markTime = 0;
    _markCapacity = -1;
    _markAbandonmentProbability = 0.0;
    _maxStates = kDefaultMaxStates;
    _freshDraws = nullptr;
    _landscape = nullptr;
}

// The saved slot matches the live configuration from the start: restore() without mark()
// gives back a new instance, whose step works.
void ExactMultiserver::init() {
    _serviceDurationPmf = createAtomicSimplePmf(arena(), 1);
    _markServiceDurationPmf = _serviceDurationPmf;
}

void ExactMultiserver::mark() {
    _markNumberOfArrivalsPmf = _numberOfArrivalsPmf;
    _markServiceDurationPmf = _serviceDurationPmf;
    _markNumberOfServers = _numberOfServers;
    _markInternalState = _internalState;
    _markTime = _time;
    _markCapacity = _capacity;
    _markAbandonmentProbability = _abandonmentProbability;
    header.isMemModified = true;  // the replaced values may be held by nothing now
}

void ExactMultiserver::restore() {
    _numberOfArrivalsPmf = _markNumberOfArrivalsPmf;
    _serviceDurationPmf = _markServiceDurationPmf;
    _numberOfServers = _markNumberOfServers;
    _internalState = _markInternalState;
    _time = _markTime;
    _capacity = _markCapacity;
    _abandonmentProbability = _markAbandonmentProbability;
    header.isMemModified = true;
}

Pmf* ExactMultiserver::getNumberOfEntitiesInSystemPmf() {
    return exactStationMarginal(arena(), _internalState);
}

void ExactMultiserver::resetWithNumberOfEntitiesInSystem(Int _numberOfEntitiesInSystem) {
    if (_numberOfEntitiesInSystem < 0) fail(msg::InvalidNumberOfEntities);
    if (_serviceDurationPmf->simple.offset == 0) fail(msg::InvalidServiceDuration);
    // How many start busy depends on c, which the standard station's reset never reads.
    if (_numberOfServers < 0) fail(msg::InvalidNumberOfServers);
    _internalState = exactStationReset(arena(), _serviceDurationPmf, _numberOfServers,
                                       _numberOfEntitiesInSystem, _maxStates);
}

ExactStepConfig ExactMultiserver::stepConfig() const {
    return ExactStepConfig{_numberOfArrivalsPmf,    _serviceDurationPmf,
                           _numberOfServers,        _capacity,
                           _abandonmentProbability, _maxStates};
}

void ExactMultiserver::step() {
    if (_numberOfServers < 0) fail(msg::InvalidNumberOfServers);
    if (_serviceDurationPmf->simple.offset == 0) fail(msg::InvalidServiceDuration);
    if (_landscape == nullptr) _landscape = new ExactLandscape();
    ExactFreshDraws* draws = _freshDraws;
    ExactState* next = exactStationStep(arena(), _internalState, stepConfig(), draws, *_landscape);
    _internalState = next;
    _freshDraws = draws;
    // Wraps at the top of the Int range instead of overflowing.
    _time = Int(uint32_t(_time) + 1u);
}

void ExactMultiserver::applyObservationRange(Int _startOfRange, Int _endOfRange) {
    _internalState = exactStationObserve(arena(), _internalState, _startOfRange, _endOfRange);
}

void ExactMultiserver::applyObservationValue(Int _observedNumberOfEntitiesInSystem) {
    _internalState = exactStationObserve(arena(), _internalState, _observedNumberOfEntitiesInSystem,
                                         int64_t(_observedNumberOfEntitiesInSystem) + 1);
}

Real ExactMultiserver::blockingProbability() {
    if (_numberOfServers < 0) fail(msg::InvalidNumberOfServers);
    return exactStationBlocking(_internalState, stepConfig());
}

void ExactMultiserver::dropCaches() {
    delete _landscape;
    _landscape = nullptr;
}

void ExactMultiserver::setMaxStates(int64_t limit) {
    if (limit < 1) fail(msg::InvalidMaxStates);
    _maxStates = limit;
}

}  // namespace movra
