// The Python type of ExactMultiserver: the same protocol, conversions and messages as
// StandardMultiserver where a name carries over, plus the state limit, the waiting room
// and impatience. Its internal_state is {(z, (r_1, ..., r_b)): p}, the busy servers'
// remaining times ascending.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <numeric>

#include "../pmf/pmf_query.h"
#include "../pmf/scaled_add.h"
#include "convert.h"
#include "copy_protocols.h"
#include "protocol.h"
#include "station_methods.h"
#include "type_object.h"

namespace movra {

namespace {
using EM = ExactMultiserver;
using protocol::arg;

// A positive int for max_states, or movra.error.
int64_t maxStates_fromPy(PyObject* value) {
    if (!PyLong_Check(value)) fail(msg::InvalidMaxStates);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PythonError();
    if (overflow > 0) v = INT64_MAX;  // no limit a machine could reach
    if (overflow < 0 || v < 1) fail(msg::InvalidMaxStates);
    return int64_t(v);
}

PyObject* ExactMultiserver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* limit = nullptr;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, "max_states") != 0) {
                PyErr_Format(PyExc_TypeError,
                             "ExactMultiserver() got an unexpected keyword argument %R", key);
                return nullptr;
            }
            limit = value;
        }
    }
    PyRef self(protocol::construct<EM>(type, args, station_methods::init<EM>));
    if (self.get() == nullptr) return nullptr;
    if (limit != nullptr && !protocol::run<EM>(self.get(), [limit](EM* s) {
            s->setMaxStates(maxStates_fromPy(limit));
        }))
        return nullptr;
    return self.release();
}

PyObject* ExactMultiserver_blockingProbability_Py(PyObject* self, PyObject* args) {
    return protocol::callValue<EM>(self, args, 0, [](EM* s, PyObject*) {
        Real p = 0;
        protocol::withoutInterpreterLock([&] { p = s->blockingProbability(); });
        return Real_toPy(s->arena(), p);
    });
}

// ---- get-set attributes -----------------------------------------------------------------

template <Pmf* EM::* field>
PyObject* getPmf(PyObject* self, void*) {
    return protocol::get<EM>(self, [](EM* s) { return Pmf_toPy(s->arena(), s->*field); });
}

template <Pmf* EM::* field>
int setPmf(PyObject* self, PyObject* value, void*) {
    return protocol::set<EM>(self, value, [](EM* s, PyObject* v) {
        Pmf* pmf = Pmf_fromPy(s->arena(), v, 1);
        confirmSimplePmf(pmf);
        s->*field = pmf;
    });
}

// {(z, (r_1, ..., r_b)): p} ordered by z, then by the tuple of remaining times.
PyObject* state_toPy(ExactState* state) {
    const Int n = state->groupCount;
    ExactGroup* groups = groupsOf(state);
    const Int* keys = keysOf(state);
    const Real* p = probabilitiesOf(state);
    std::vector<Int> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](Int a, Int b) {
        const Int* ka = keys + groups[a].keyStart;
        const Int* kb = keys + groups[b].keyStart;
        return std::lexicographical_compare(ka, ka + groups[a].busy, kb, kb + groups[b].busy);
    });
    std::vector<PyRef> tuples(static_cast<size_t>(n));
    std::vector<std::pair<Int, Int>> entries;  // (z, rank of the group)
    entries.reserve(size_t(state->stateCount));
    for (Int rank = 0; rank < n; rank++) {
        const ExactGroup& g = groups[order[size_t(rank)]];
        PyRef tuple(checked(PyTuple_New(g.busy)));
        for (Int i = 0; i < g.busy; i++)
            PyTuple_SET_ITEM(tuple.get(), i, checked(PyLong_FromLong(keys[g.keyStart + i])));
        tuples[size_t(rank)] = std::move(tuple);
        for (Int i = 0; i < g.length; i++)
            if (p[g.probStart + i] > 0) entries.emplace_back(g.zOffset + i, rank);
    }
    std::sort(entries.begin(), entries.end());
    PyRef dict(checked(PyDict_New()));
    for (const auto& [z, rank] : entries) {
        const ExactGroup& g = groups[order[size_t(rank)]];
        PyRef key(checked(PyTuple_New(2)));
        PyTuple_SET_ITEM(key.get(), 0, checked(PyLong_FromLong(z)));
        PyTuple_SET_ITEM(key.get(), 1, PyRef::newReferenceTo(tuples[size_t(rank)].get()).release());
        PyRef value(checked(PyFloat_FromDouble(p[g.probStart + (z - g.zOffset)])));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PythonError();
    }
    return dict.release();
}

// The setter's reading: the weights as the other types' setters take them (NaN refused,
// not above 0 dropped, above 1 counted as 1, then normalised); each key with a positive
// weight checked in order: (z, tuple), z >= 0, every remaining time >= 1, and
// min(z, c) <= b <= z. The remaining times may come in any order.
ExactState* state_fromPy(EM* s, PyObject* value) {
    if (!PyDict_Check(value)) failImport();
    if (PyDict_GET_SIZE(value) == 0) fail(msg::EmptyDictionary);
    ExactStateBuilder builder;
    std::vector<Int> key;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(value, &pos, &k, &v)) {
        Real w = Real_fromPy(s->arena(), v);
        if (std::isnan(w)) failImport();
        if (!(w > 0)) continue;
        if (!PyTuple_Check(k) || PyTuple_GET_SIZE(k) != 2) failImport();
        Int z = Int_fromPy(s->arena(), PyTuple_GET_ITEM(k, 0));
        PyObject* times = PyTuple_GET_ITEM(k, 1);
        if (!PyTuple_Check(times) || PyTuple_GET_SIZE(times) > INT32_MAX) failImport();
        const Int busy = Int(PyTuple_GET_SIZE(times));
        key.resize(size_t(busy));
        for (Int i = 0; i < busy; i++)
            key[size_t(i)] = Int_fromPy(s->arena(), PyTuple_GET_ITEM(times, i));
        if (z < 0) fail(msg::NegativeSample);
        for (Int r : key)
            if (r < 1) fail(msg::InvalidRemainingTime);
        if (busy > z || busy < std::min(z, s->_numberOfServers)) fail(msg::InvalidBusyCount);
        std::sort(key.begin(), key.end());
        builder.add(z, key.data(), busy, clampWeight(w));
    }
    return builder.build(s->arena(), s->_maxStates);
}

PyObject* getState(PyObject* self, void*) {
    return protocol::get<EM>(self, [](EM* s) { return state_toPy(s->_internalState); });
}

int setState(PyObject* self, PyObject* value, void*) {
    return protocol::set<EM>(self, value,
                             [](EM* s, PyObject* v) { s->_internalState = state_fromPy(s, v); });
}

PyObject* getMaxStates(PyObject* self, void*) {
    return protocol::get<EM>(self,
                             [](EM* s) { return checked(PyLong_FromLongLong(s->_maxStates)); });
}

int setMaxStates(PyObject* self, PyObject* value, void*) {
    return protocol::set<EM>(self, value,
                             [](EM* s, PyObject* v) { s->setMaxStates(maxStates_fromPy(v)); });
}

PyObject* getCapacity(PyObject* self, void*) {
    return protocol::get<EM>(self, [](EM* s) -> PyObject* {
        if (s->_capacity < 0) return PyRef::newReferenceTo(Py_None).release();
        return checked(PyLong_FromLongLong(s->_capacity));
    });
}

int setCapacity(PyObject* self, PyObject* value, void*) {
    return protocol::set<EM>(self, value, [](EM* s, PyObject* v) {
        if (v == Py_None) {
            s->_capacity = -1;
            return;
        }
        if (!PyLong_Check(v)) fail(msg::InvalidCapacity);
        int overflow = 0;
        long long c = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (c == -1 && PyErr_Occurred()) throw PythonError();
        if (overflow < 0 || c < 0) fail(msg::InvalidCapacity);
        // Beyond the Int range of z a capacity is never reached.
        s->_capacity = (overflow > 0 || c > INT32_MAX) ? int64_t(INT32_MAX) : int64_t(c);
    });
}

PyObject* getAbandonment(PyObject* self, void*) {
    return protocol::get<EM>(
        self, [](EM* s) { return Real_toPy(s->arena(), s->_abandonmentProbability); });
}

int setAbandonment(PyObject* self, PyObject* value, void*) {
    return protocol::set<EM>(self, value, [](EM* s, PyObject* v) {
        Real q = Real_fromPy(s->arena(), v);
        if (!(q >= 0 && q <= 1)) fail(msg::InvalidProbability);
        s->_abandonmentProbability = q;
    });
}

PyObject* getStateCount(PyObject* self, void*) {
    return protocol::get<EM>(
        self, [](EM* s) { return checked(PyLong_FromLongLong(s->_internalState->stateCount)); });
}

// ---- copies -----------------------------------------------------------------------------

// Whether the instance reduces by the type's own __reduce__ (a subclass may have its own).
bool reducesAsModel(PyObject* self) {
    if (Py_TYPE(self) == &ExactMultiserverType) return true;
    auto attribute = [](PyTypeObject* type, const char* name) {
        return PyRef(checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name)));
    };
    PyRef mine = attribute(&ExactMultiserverType, "__reduce__");
    PyRef theirs = attribute(Py_TYPE(self), "__reduce__");
    PyRef base = attribute(&PyBaseObject_Type, "__reduce_ex__");
    PyRef theirsEx = attribute(Py_TYPE(self), "__reduce_ex__");
    return mine.get() == theirs.get() && base.get() == theirsEx.get();
}

// Hands the copy what the original learnt; a copy that gets none of it is still a copy.
void learn(PyObject* original, PyObject* copy) {
    if (!PyObject_TypeCheck(copy, &ExactMultiserverType)) return;
    protocol::Busy<EM> from(original);
    if (!from) return PyErr_Clear();
    protocol::Busy<EM> to(copy);
    if (!to) return PyErr_Clear();
    EM* source = modelOf<EM>(original);
    EM* target = modelOf<EM>(copy);
    Py_BEGIN_ALLOW_THREADS try { target->learnFrom(*source); } catch (...) {
    }
    Py_END_ALLOW_THREADS
}

// copy.copy and copy.deepcopy. An instance of the type itself (no attributes of its own)
// is copied record by record (ExactMultiserver::copyFrom). A subclass's instance is made as
// the reduction makes it (a new instance given the reduced state by its __setstate__),
// except that the model's form, plain data made for this copy alone, is not deep-copied
// (the subclass's attributes are), and then learns from the original.
PyObject* copyOf(PyObject* self, PyObject* memo) {
    try {
        if (Py_TYPE(self) == &ExactMultiserverType) {
            PyRef none(checked(PyTuple_New(0)));
            PyRef copy(
                checked(ExactMultiserverType.tp_new(&ExactMultiserverType, none.get(), nullptr)));
            protocol::Busy<EM> original(self);
            if (!original) return nullptr;
            if (!protocol::run<EM>(copy.get(), [self](EM* target) {
                    protocol::compute(target, [&] { target->copyFrom(*modelOf<EM>(self)); });
                }))
                return nullptr;
            return copy.release();
        }
        if (!reducesAsModel(self)) {
            PyRef reduced(checked(PyObject_CallMethod(self, "__reduce_ex__", "i", 4)));
            PyRef module(checked(PyImport_ImportModule("copy")));
            PyRef reconstruct(checked(PyObject_GetAttrString(module.get(), "_reconstruct")));
            PyRef head(checked(Py_BuildValue("(OO)", self, memo == nullptr ? Py_None : memo)));
            PyRef args(checked(PySequence_Concat(head.get(), reduced.get())));
            return checked(PyObject_CallObject(reconstruct.get(), args.get()));
        }
        PyRef reduced(checked(protocol::reduce<EM>(self, nullptr)));
        PyObject* state = PyTuple_GET_ITEM(reduced.get(), 2);
        PyRef copy(checked(PyObject_CallObject(PyTuple_GET_ITEM(reduced.get(), 0),
                                               PyTuple_GET_ITEM(reduced.get(), 1))));
        PyRef given(PyRef::newReferenceTo(state));
        PyObject* attributes = PyTuple_GET_ITEM(state, 2);
        if (memo != nullptr) {
            PyRef id(checked(PyLong_FromVoidPtr(self)));
            if (PyDict_SetItem(memo, id.get(), copy.get()) < 0) throw PythonError();
            if (attributes != Py_None) {
                PyRef module(checked(PyImport_ImportModule("copy")));
                PyRef deep(
                    checked(PyObject_CallMethod(module.get(), "deepcopy", "OO", attributes, memo)));
                given = PyRef(checked(PyTuple_Pack(3, PyTuple_GET_ITEM(state, 0),
                                                   PyTuple_GET_ITEM(state, 1), deep.get())));
            }
        }
        PyRef done(checked(PyObject_CallMethod(copy.get(), "__setstate__", "(O)", given.get())));
        learn(self, copy.get());
        return copy.release();
    } catch (const PythonError&) {
        return nullptr;
    }
}

PyObject* copy_Py(PyObject* self, PyObject*) { return copyOf(self, nullptr); }

PyObject* deepcopy_Py(PyObject* self, PyObject* memo) {
    if (!PyDict_Check(memo)) {
        PyErr_SetString(PyExc_TypeError, "__deepcopy__ expects the memo dict");
        return nullptr;
    }
    return copyOf(self, memo);
}

// ---- documentation ----------------------------------------------------------------------

PyDoc_STRVAR(
    ExactMultiserver_doc,
    "ExactMultiserver(*, max_states=2000000)\n--\n\n"
    "One queueing station with identical servers, exact for any number of servers.\n\n"
    "The state is the PMF of (z, r): z entities at the station (waiting or in service)\n"
    "and r, the remaining service times in steps of the busy servers, ascending (r_i = 1:\n"
    "that entity completes during the coming step). Each step() lets the busy servers\n"
    "complete or count down, then (with abandonment_probability) lets waiting entities\n"
    "leave, adds a batch of arrivals from number_of_arrivals_pmf (up to capacity), and\n"
    "lets idle servers take waiting entities first come first served, each drawing a\n"
    "duration from service_duration_pmf. The number in system is cut where either tail\n"
    "holds less than 5e-09, as in StandardMultiserver.\n\n"
    "The state grows with the servers and the longest service; a step, reset or state\n"
    "assignment that needs more than max_states states is refused (movra.error) and\n"
    "the instance left as it was. A new station has 0 servers, no arrivals, service\n"
    "{1: 1.0} and the state {(0, ()): 1.0}.");

PyDoc_STRVAR(step_doc,
             "step($self, /)\n--\n\n"
             "Map the state one time step forward and add 1 to time.\n\n"
             "Completions, abandonments, arrivals, then service starts; the new number in system\n"
             "is cut where either tail holds less than 5e-09 and renormalised.\n\n"
             "Raises movra.error: 'Invalid number of servers...' if number_of_servers < 0,\n"
             "'Invalid service duration pmf...' if a service duration of 0 is possible, and the\n"
             "state limit's message if the new state needs more than max_states states.");

PyDoc_STRVAR(mark_doc,
             "mark($self, /)\n--\n\n"
             "Save the whole configuration (PMFs, servers, capacity, abandonment, state, time)\n"
             "in the one saved slot. max_states is a limit, not configuration: not saved.");

PyDoc_STRVAR(restore_doc,
             "restore($self, /)\n--\n\n"
             "Bring back the configuration saved by mark(); without an earlier mark(), that of\n"
             "a new instance.");

PyDoc_STRVAR(resetWithNumberOfEntitiesInSystem_doc,
             "reset_with_number_of_entities_in_system($self, n, /)\n--\n\n"
             "Set the state to n entities with certainty, min(n, number_of_servers) of them in\n"
             "service with remaining times drawn independently from service_duration_pmf.\n"
             "time is unchanged.\n\n"
             "Raises movra.error for n < 0, a service duration PMF that allows 0, a negative\n"
             "number_of_servers, or a state beyond max_states.");

PyDoc_STRVAR(blockingProbability_doc,
             "_blocking_probability($self, /)\n--\n\n"
             "Expected arrivals lost to capacity in the next step over expected arrivals.");

PyMethodDef ExactMultiserver_ownMethods[] = {
    {"reset_with_number_of_entities_in_system",
     station_methods::resetWithNumberOfEntitiesInSystem<EM>, METH_VARARGS,
     resetWithNumberOfEntitiesInSystem_doc},
    {"_blocking_probability", ExactMultiserver_blockingProbability_Py, METH_VARARGS,
     blockingProbability_doc},
    {"__copy__", copy_Py, METH_NOARGS,
     "__copy__($self, /)\n--\n\nWhat copy.copy gives: an independent instance of the same\n"
     "configuration, state, time and mark, which starts with what this one learnt about\n"
     "its states, so that its first step costs what this one's next would."},
    {"__deepcopy__", deepcopy_Py, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nWhat copy.deepcopy gives: __copy__'s instance,\n"
     "with a subclass's attributes deep-copied."},
};
auto ExactMultiserver_methods =
    tableOf(station_methods::kLifecycleMethods<EM, step_doc, mark_doc, restore_doc>,
            ExactMultiserver_ownMethods, station_methods::kObservationMethods<EM>,
            protocol::kCopyMethods<EM>);

constexpr const char* kServersDoc =
    "Number of identical servers c (int). 0 by default; checked when stepping. Lowered,\n"
    "it interrupts nobody: entities in service finish first.";

// Published through the get-set table (getMember, setMember), not as a member.
PyMemberDef ExactMultiserver_servers = {"number_of_servers", MOVRA_T_INT,
                                        MOVRA_MODEL_OFFSET(EM, _numberOfServers), 0, kServersDoc};

PyGetSetDef ExactMultiserver_ownGetSet[] = {
    {"number_of_arrivals_pmf", getPmf<&EM::_numberOfArrivalsPmf>, setPmf<&EM::_numberOfArrivalsPmf>,
     "PMF of the number of arrivals per step, {count: probability}.", nullptr},
    {"service_duration_pmf", getPmf<&EM::_serviceDurationPmf>, setPmf<&EM::_serviceDurationPmf>,
     "PMF of a service duration in steps, {steps: probability}; every value >= 1.", nullptr},
    {"internal_state", getState, setState,
     "PMF of the state, {(z, (r_1, ..., r_b)): probability}: z at the station and the\n"
     "busy servers' remaining times, ascending; b = min(z, number_of_servers) except\n"
     "while servers lowered still finish (b <= z). Assigned states are normalised.",
     nullptr},
    {"max_states", getMaxStates, setMaxStates,
     "Most states (pairs of z and remaining times) the state may take (int >= 1).", nullptr},
    {"number_of_states", getStateCount, nullptr, "States the current state holds (read-only).",
     nullptr},
    {"capacity", getCapacity, setCapacity,
     "Most entities in system (int >= 0), or None (the default) for no limit; arrivals\n"
     "that find the station full after completions and abandonments are lost.",
     nullptr},
    {"abandonment_probability", getAbandonment, setAbandonment,
     "Probability (0 by default) that each entity waiting when a step begins leaves\n"
     "during it, before servers take entities; arrivals never leave in their own step.",
     nullptr},
    {"number_of_servers", protocol::getMember<EM>, protocol::setMember<EM>, kServersDoc,
     &ExactMultiserver_servers},
};
auto ExactMultiserver_getset = tableOf(ExactMultiserver_ownGetSet, protocol::kCounterGetSet<EM>);

void ExactMultiserver_dealloc(PyObject* self) {
    modelOf<EM>(self)->dropCaches();
    dealloc<EM>(self);
}

// "<movra.ExactMultiserver: 3 servers, time 50, mean 2.41 in system, 812 states>"
PyObject* ExactMultiserver_repr(PyObject* self) {
    return protocol::get<EM>(self, [self](EM* s) {
        ExactState* state = s->_internalState;
        double mean = 0;
        ExactGroup* groups = groupsOf(state);
        const Real* p = probabilitiesOf(state);
        for (Int g = 0; g < state->groupCount; g++)
            for (Int i = 0; i < groups[g].length; i++)
                mean += double(groups[g].zOffset + i) * p[groups[g].probStart + i];
        char text[32];
        std::snprintf(text, sizeof text, "%.4g", mean);
        return checked(
            PyUnicode_FromFormat("<%s: %d servers, time %d, mean %s in system, %lld states>",
                                 Py_TYPE(self)->tp_name, int(s->_numberOfServers), int(s->_time),
                                 text, static_cast<long long>(state->stateCount)));
    });
}
}  // namespace

PyTypeObject ExactMultiserverType =
    modelType("movra.ExactMultiserver", sizeof(ExactMultiserverObject), ExactMultiserver_dealloc,
              ExactMultiserver_methods.data(), nullptr, ExactMultiserver_getset.data(),
              ExactMultiserver_new, ExactMultiserver_doc, ExactMultiserver_repr);

}  // namespace movra
