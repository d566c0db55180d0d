// The type objects of the models, built alike, and the member-table constants under
// their current names with the older headers' names as a fallback.
#pragma once
#include <Python.h>

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

namespace movra {

// The type object of a model: both types are filled alike (subclassable, the shared
// dealloc, the three tables and the new slot; the interpreter's defaults elsewhere).
inline PyTypeObject modelType(const char* name, Py_ssize_t basicSize, destructor dealloc,
                              PyMethodDef* methods, PyMemberDef* members, PyGetSetDef* getset,
                              newfunc newSlot) {
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
    return t;
}

}  // namespace movra
