#include "exact_multiserver.h"

#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

void ExactMultiserver::memRelease(MovraObject* obj) {
    ExactMultiserver* self = reinterpret_cast<ExactMultiserver*>(obj);
    configuration::flagRoots(*self);
    flag(self->_freshDraws);
    release(obj);
}

void setDefault(MovraObject* obj, ExactState*& field, FieldKind) {
    ExactStateBuilder builder;
    builder.add(0, nullptr, 0, 1.0);
    field = builder.build(obj, 1);
}

// The saved configuration shares the defaults' records, so that restore() without mark()
// gives back a new instance, whose step works.
void ExactMultiserver::defaults() {
    configuration::setDefaults(*this, true);
    _maxStates = kDefaultMaxStates;
    _freshDraws = nullptr;
    _landscape = nullptr;
}

void ExactMultiserver::init() {
    _serviceDurationPmf = createAtomicSimplePmf(arena(), 1);
    _markServiceDurationPmf = _serviceDurationPmf;
}

void ExactMultiserver::mark() {
    configuration::save(*this);
    header.isMemModified = true;  // the replaced values may be held by nothing now
}

void ExactMultiserver::restore() {
    configuration::bringBack(*this);
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
