// The Python type of StandardMultiserver: the construction wrapper, the method, member
// and get-set tables and the type object. Every entry runs through the call protocol.
#include <cstddef>
#include <cstdio>

#include "../pmf/pmf_query.h"
#include "convert.h"
#include "copy_protocols.h"
#include "protocol.h"
#include "station_methods.h"
#include "type_object.h"

namespace movra {

namespace {
using SM = StandardMultiserver;
using protocol::arg;

PyObject* StandardMultiserver_init_Py(PyObject* self, PyObject* args) {
    return protocol::callNone<SM>(self, args, 0, [](SM* s, PyObject*) { s->init(); });
}

PyObject* StandardMultiserver_new(PyTypeObject* type, PyObject* args, PyObject*) {
    return protocol::construct<SM>(type, args, StandardMultiserver_init_Py);
}

// Get-set attributes: each PMF field with the shape check its setter applies.
template <Pmf* SM::* field>
PyObject* getPmf(PyObject* self, void*) {
    return protocol::get<SM>(self, [](SM* s) { return Pmf_toPy(s->arena(), s->*field); });
}

template <Pmf* SM::* field, bool joint>
int setPmf(PyObject* self, PyObject* value, void*) {
    return protocol::set<SM>(self, value, [](SM* s, PyObject* v) {
        Pmf* pmf = Pmf_fromPy(s->arena(), v, joint ? 2 : 1);
        if (joint)
            confirmJointPmf(pmf, 2);
        else
            confirmSimplePmf(pmf);
        s->*field = pmf;
    });
}

PyDoc_STRVAR(
    StandardMultiserver_doc,
    "StandardMultiserver()\n--\n\n"
    "One queueing station with identical servers, as the PMF of its state.\n\n"
    "The state is a joint PMF over (z, ell): z entities at the station (waiting or in\n"
    "service) and ell, the remaining service time in steps of the entity in service\n"
    "(ell = 1: it completes during the coming step). Each step() first lets the\n"
    "entities in service complete, then adds a batch of arrivals drawn from\n"
    "number_of_arrivals_pmf; entities entering service draw a duration from\n"
    "service_duration_pmf. Exact for one server; an approximation for several.\n\n"
    "StandardMultiserver() takes no arguments. A new station has 0 servers, no arrivals\n"
    "({0: 1.0}), service {1: 1.0} and the state {(0, 0): 1.0}: set its attributes.\n"
    "PMFs are dicts of probabilities: weights above 1 count as 1, weights not above 0\n"
    "are dropped, the rest is normalised. Failures raise movra.error with a fixed message.");

PyDoc_STRVAR(step_doc,
             "step($self, /)\n--\n\n"
             "Map the state one time step forward and add 1 to time.\n\n"
             "Completions, then arrivals; the new number in system is cut where either tail\n"
             "holds less than 5e-09 and renormalised.\n\n"
             "Raises movra.error: 'Invalid number of servers...' if number_of_servers < 0,\n"
             "'Invalid service duration pmf...' if a service duration of 0 is possible.");

PyDoc_STRVAR(mark_doc,
             "mark($self, /)\n--\n\n"
             "Save the whole configuration (PMFs, servers, state, time) in the one saved slot.");

PyDoc_STRVAR(restore_doc,
             "restore($self, /)\n--\n\n"
             "Bring back the configuration saved by mark().\n\n"
             "Without an earlier mark() this restores the construction defaults of the slot,\n"
             "whose service duration PMF is {0: 1.0}, so a following step() fails.");

PyDoc_STRVAR(resetWithNumberOfEntitiesInSystem_doc,
             "reset_with_number_of_entities_in_system($self, n, /)\n--\n\n"
             "Set the state to n entities with certainty; the one in service (if any) draws a\n"
             "fresh service duration. time is unchanged.\n\n"
             "Raises movra.error for n < 0 or a service duration PMF that allows 0.");

PyMethodDef StandardMultiserver_ownMethods[] = {
    {"step", station_methods::step<SM>, METH_VARARGS, step_doc},
    {"mark", station_methods::mark<SM>, METH_VARARGS, mark_doc},
    {"restore", station_methods::restore<SM>, METH_VARARGS, restore_doc},
    {"reset_with_number_of_entities_in_system",
     station_methods::resetWithNumberOfEntitiesInSystem<SM>, METH_VARARGS,
     resetWithNumberOfEntitiesInSystem_doc},
};
auto StandardMultiserver_methods =
    tableOf(StandardMultiserver_ownMethods, station_methods::kObservationMethods<SM>,
            protocol::kCopyMethods<SM>);

constexpr const char* kServersDoc =
    "Number of identical servers c (int). 0 by default; checked when stepping.";

// Published through the get-set table (getMember, setMember), not as a member.
PyMemberDef StandardMultiserver_servers = {
    "number_of_servers", MOVRA_T_INT, MOVRA_MODEL_OFFSET(SM, _numberOfServers), 0, kServersDoc};

PyGetSetDef StandardMultiserver_ownGetSet[] = {
    {"number_of_arrivals_pmf", getPmf<&SM::_numberOfArrivalsPmf>,
     setPmf<&SM::_numberOfArrivalsPmf, false>,
     "PMF of the number of arrivals per step, {count: probability}.", nullptr},
    {"service_duration_pmf", getPmf<&SM::_serviceDurationPmf>,
     setPmf<&SM::_serviceDurationPmf, false>,
     "PMF of a service duration in steps, {steps: probability}; every value >= 1.", nullptr},
    {"internal_state", getPmf<&SM::_internalState>, setPmf<&SM::_internalState, true>,
     "Joint PMF of the state, {(z, ell): probability}: z at the station, ell the\n"
     "remaining service time in steps of the entity in service.",
     nullptr},
    {"number_of_servers", protocol::getMember<SM>, protocol::setMember<SM>, kServersDoc,
     &StandardMultiserver_servers},
};
auto StandardMultiserver_getset =
    tableOf(StandardMultiserver_ownGetSet, protocol::kCounterGetSet<SM>);

// "<movra.StandardMultiserver: 3 servers, time 50, mean 2.41 in system>"; reads only
// the marginal of z.
PyObject* StandardMultiserver_repr(PyObject* self) {
    return protocol::get<SM>(self, [self](SM* s) {
        char mean[32];
        std::snprintf(mean, sizeof mean, "%.4g", pmfMean(s->getNumberOfEntitiesInSystemPmf()));
        int servers = int(s->_numberOfServers);
        return checked(PyUnicode_FromFormat("<%s: %d server%s, time %d, mean %s in system>",
                                            Py_TYPE(self)->tp_name, servers,
                                            servers == 1 ? "" : "s", int(s->_time), mean));
    });
}
}  // namespace

PyTypeObject StandardMultiserverType =
    modelType("movra.StandardMultiserver", sizeof(StandardMultiserverObject), dealloc<SM>,
              StandardMultiserver_methods.data(), nullptr, StandardMultiserver_getset.data(),
              StandardMultiserver_new, StandardMultiserver_doc, StandardMultiserver_repr);

}  // namespace movra
