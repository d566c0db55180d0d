// Member-table constants under their current names, with the older headers' names as a
// fallback.
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

// A type object with only its object header set; the caller fills the slots it uses.
inline PyTypeObject blankTypeObject() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    return t;
}
