// The type objects of the models, built alike, and the member-table constants under
// their current names with the older headers' names as a fallback.
#pragma once
#include <Python.h>
#include <algorithm>
#include <array>

#ifdef Py_T_INT
#define MOVRA_T_INT Py_T_INT
#define MOVRA_T_ULONGLONG Py_T_ULONGLONG
#define MOVRA_READONLY Py_READONLY
#else
#include <structmember.h>
#define MOVRA_T_INT T_INT
#define MOVRA_T_ULONGLONG T_ULONGLONG
#define MOVRA_READONLY READONLY
#endif

#include "../pmf/pmf.h"

namespace movra {

// Documentation of the members both types share.
constexpr const char* kTimeDoc = "Number of steps taken (int); writable, wraps at 2**31.";
constexpr const char* kCurrentMemoryDoc =
    "Bytes held by the model's values (read-only): the PMFs and containers it keeps.";
constexpr const char* kPeakMemoryDoc =
    "Highest current_memory_use since the instance was made, in bytes (read-only).";

// Mean of a simple PMF, for the types' repr; one pass, nothing allocated.
inline double pmfMean(Pmf* pmf) {
    double mean = 0;
    for (Int k = 0; k < pmf->simple.length; k++)
        mean += (double(pmf->simple.offset) + k) * pmf->simple.elements[k];
    return mean;
}

// A type object's table (methods, get-set entries): the entries of each part in order, then
// the sentinel. The parts are a type's own entries and those it shares with other types.
template <class Entry, size_t... N>
std::array<Entry, (N + ...) + 1> tableOf(const Entry (&... parts)[N]) {
    std::array<Entry, (N + ...) + 1> out{};
    size_t at = 0;
    ((std::copy(parts, parts + N, out.begin() + at), at += N), ...);
    return out;
}

// The type object of a model: both types are filled alike (subclassable, the shared
// dealloc, the three tables, the new slot, the documentation and repr; the
// interpreter's defaults elsewhere).
inline PyTypeObject modelType(const char* name, Py_ssize_t basicSize, destructor dealloc,
                              PyMethodDef* methods, PyMemberDef* members, PyGetSetDef* getset,
                              newfunc newSlot, const char* doc, reprfunc repr) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    t.tp_name = name;
    t.tp_basicsize = basicSize;
    t.tp_itemsize = 0;
    t.tp_dealloc = dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_methods = methods;
    t.tp_members = members;
    t.tp_getset = getset;
    t.tp_new = newSlot;
    t.tp_doc = doc;
    t.tp_repr = repr;
    return t;
}

}  // namespace movra
