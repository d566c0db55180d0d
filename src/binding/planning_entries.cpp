// Private helpers of the planner (movra.planning): a station's waiting time, its busy
// servers and completions, and a step with the change it made to the number in system.
// Each runs through the call protocol of the model it reads, so the busy flag, the sweep
// and the failures are those of any method; the arguments are checked here and refused
// with the interpreter's own exceptions.
#include <Python.h>
#include <cstring>
#include <vector>

#include "../models/station_figures.h"
#include "model_objects.h"
#include "protocol.h"

namespace movra {

namespace {

PyObject* realsToBytes(const std::vector<Real>& values) {
    PyObject* bytes = checked(
        PyBytes_FromStringAndSize(nullptr, Py_ssize_t(values.size()) * Py_ssize_t(sizeof(Real))));
    if (!values.empty())
        std::memcpy(PyBytes_AS_STRING(bytes), values.data(), values.size() * sizeof(Real));
    return bytes;
}

[[noreturn]] void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError();
}

// {value: probability} of the positive probabilities, from value first.
PyObject* pmfToDict(Int first, const std::vector<Real>& p) {
    PyRef dict(checked(PyDict_New()));
    for (size_t i = 0; i < p.size(); i++) {
        if (!(p[i] > 0)) continue;
        PyRef key(checked(PyLong_FromLong(long(first) + long(i))));
        PyRef value(checked(PyFloat_FromDouble(p[i])));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PythonError();
    }
    return dict.release();
}

// The wait as bytes of doubles (tail < 0) or as a finished PMF, or the refusal of a
// state without such an entity.
PyObject* waitToPy(const WaitResult& result, Real tail) {
    switch (result.status) {
        case WaitStatus::Ok:
            if (tail < 0) return realsToBytes(result.pmf);
            {
                Int first = 0;
                const std::vector<Real> p = finishPmf(result.pmf, tail, first);
                return pmfToDict(first, p);
            }
        case WaitStatus::NobodyArrives:
            raise(PyExc_ValueError, "no entity arrives in the next step");
        case WaitStatus::NobodyAdmitted:
            raise(PyExc_ValueError, "no arriving entity is admitted in the next step");
        case WaitStatus::NobodyServed:
            raise(PyExc_ValueError, "no such entity is ever served: all of them leave first");
        case WaitStatus::TooMuchWork:
            raise(PyExc_ValueError,
                  "the wait is too long to compute: this state and these "
                  "arrivals allow waits of a great many steps");
        case WaitStatus::NobodyAtPosition: break;
    }
    raise(PyExc_ValueError,
          "no entity can have that many entities waiting ahead of it in "
          "this state");
}

void checkStation(Int servers, Pmf* service) {
    if (servers <= 0)
        raise(PyExc_ValueError, "the station has no servers: nobody waiting is ever served");
    if (service->simple.offset < 1)
        raise(PyExc_ValueError, "service durations must be at least 1 step");
}

PyObject* figuresToPy(const ServiceFigures& figures) {
    PyRef busy(checked(PyFloat_FromDouble(figures.busy)));
    PyRef completions(realsToBytes(figures.completions));
    PyObject* pair = checked(PyTuple_New(2));
    PyTuple_SET_ITEM(pair, 0, busy.release());
    PyTuple_SET_ITEM(pair, 1, completions.release());
    return pair;
}

struct Marginal {
    Int offset = 0;
    std::vector<Real> p;
};

void copyMarginal(Pmf* pmf, std::vector<Marginal>& out) {
    Marginal m;
    m.offset = pmf->simple.offset;
    m.p.assign(&pmf->simple.elements[0], &pmf->simple.elements[0] + pmf->simple.length);
    out.push_back(std::move(m));
}

// The PMF of the number in system, per node for a network; false with the error set.
bool readMarginals(PyObject* model, std::vector<Marginal>& out) {
    out.clear();
    if (PyObject_TypeCheck(model, &StandardMultiserverType))
        return protocol::run<StandardMultiserver>(model, [&](StandardMultiserver* s) {
            copyMarginal(s->getNumberOfEntitiesInSystemPmf(), out);
        });
    if (PyObject_TypeCheck(model, &ExactMultiserverType))
        return protocol::run<ExactMultiserver>(model, [&](ExactMultiserver* s) {
            copyMarginal(s->getNumberOfEntitiesInSystemPmf(), out);
        });
    if (PyObject_TypeCheck(model, &StandardNetworkMultiserverType))
        return protocol::run<StandardNetworkMultiserver>(model, [&](StandardNetworkMultiserver* s) {
            for (Int k = 0; k < s->getNumberOfNodes(); k++)
                copyMarginal(s->getNumberOfEntitiesAtNodePmf(k), out);
        });
    if (PyObject_TypeCheck(model, &ExactNetworkMultiserverType))
        return protocol::run<ExactNetworkMultiserver>(model, [&](ExactNetworkMultiserver* s) {
            for (Int k = 0; k < s->getNumberOfNodes(); k++)
                copyMarginal(s->getNumberOfEntitiesAtNodePmf(k), out);
        });
    PyErr_SetString(PyExc_TypeError, "_step_change() takes a model of movra");
    return false;
}

}  // namespace

PyObject* waitingTime_Py(PyObject*, PyObject* args) {
    PyObject *model, *where, *finish = Py_None;
    if (!PyArg_ParseTuple(args, "OO|O:_waiting_time", &model, &where, &finish)) return nullptr;
    Real tail = -1;
    if (finish != Py_None) {
        tail = PyFloat_AsDouble(finish);
        if (tail == -1 && PyErr_Occurred()) return nullptr;
        if (!(tail >= 0 && tail <= 1)) {
            PyErr_SetString(PyExc_ValueError, "tail must lie in [0, 1]");
            return nullptr;
        }
    }
    long long position = -1;
    if (where != Py_None) {
        if (!PyLong_Check(where) || PyBool_Check(where)) {
            PyErr_SetString(PyExc_TypeError, "position must be an integer or None");
            return nullptr;
        }
        int overflow = 0;
        position = PyLong_AsLongLongAndOverflow(where, &overflow);
        if (position == -1 && PyErr_Occurred()) return nullptr;
        if (overflow != 0 || position < 0) {
            PyErr_SetString(PyExc_ValueError, "position must be a non-negative integer");
            return nullptr;
        }
    }
    PyRef noArguments(PyTuple_New(0));
    if (!noArguments.get()) return nullptr;
    if (PyObject_TypeCheck(model, &StandardMultiserverType)) {
        return protocol::callValue<StandardMultiserver>(
            model, noArguments.get(), 0, [&](StandardMultiserver* s, PyObject*) {
                checkStation(s->_numberOfServers, s->_serviceDurationPmf);
                WaitResult result;
                protocol::withoutInterpreterLock([&] {
                    result =
                        standardStationWait(s->_internalState, s->_numberOfArrivalsPmf,
                                            s->_serviceDurationPmf, s->_numberOfServers, position);
                });
                return waitToPy(result, tail);
            });
    }
    if (PyObject_TypeCheck(model, &ExactMultiserverType)) {
        return protocol::callValue<ExactMultiserver>(
            model, noArguments.get(), 0, [&](ExactMultiserver* s, PyObject*) {
                checkStation(s->_numberOfServers, s->_serviceDurationPmf);
                WaitResult result;
                protocol::withoutInterpreterLock([&] {
                    result =
                        exactStationWait(s->_internalState, s->_numberOfArrivalsPmf,
                                         s->_serviceDurationPmf, s->_numberOfServers, s->_capacity,
                                         s->_abandonmentProbability, position, s->_maxStates);
                });
                return waitToPy(result, tail);
            });
    }
    PyErr_SetString(PyExc_TypeError, "_waiting_time() takes a station of movra");
    return nullptr;
}

PyObject* serviceFigures_Py(PyObject*, PyObject* model) {
    PyRef noArguments(PyTuple_New(0));
    if (!noArguments.get()) return nullptr;
    if (PyObject_TypeCheck(model, &StandardMultiserverType)) {
        return protocol::callValue<StandardMultiserver>(
            model, noArguments.get(), 0, [](StandardMultiserver* s, PyObject*) {
                return figuresToPy(standardStationFigures(s->_internalState, s->_numberOfServers));
            });
    }
    if (PyObject_TypeCheck(model, &ExactMultiserverType)) {
        return protocol::callValue<ExactMultiserver>(
            model, noArguments.get(), 0, [](ExactMultiserver* s, PyObject*) {
                return figuresToPy(exactStationFigures(s->_internalState));
            });
    }
    PyErr_SetString(PyExc_TypeError, "_service_figures() takes a station of movra");
    return nullptr;
}

PyObject* stepChange_Py(PyObject*, PyObject* model) {
    std::vector<Marginal> before, after;
    if (!readMarginals(model, before)) return nullptr;
    PyRef done(PyObject_CallMethod(model, "step", nullptr));
    if (!done.get()) return nullptr;
    if (!readMarginals(model, after)) return nullptr;
    Real change = 0;
    for (size_t k = 0; k < before.size() && k < after.size(); k++) {
        const Real tv = totalVariation(before[k].offset, before[k].p, after[k].offset, after[k].p);
        if (tv > change) change = tv;
    }
    return PyFloat_FromDouble(change);
}

}  // namespace movra
