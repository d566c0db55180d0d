// Conversions between model values and Python objects. X_toPy returns a new reference
// (throwing PythonError if the interpreter could not build it); X_fromPy builds the model
// value in the instance's arena and throws CException when the object has the wrong shape.
// No _fromPy conversion keeps a reference to its argument.
#pragma once
#include <Python.h>

#include "../containers/arrays.h"
#include "../pmf/joint_accumulator.h"
#include "py_ref.h"

namespace movra {

// Deepest nesting accepted from Python: compound tuples inside compound tuples, and the
// number of items of a joint key. Deeper input is refused with "Invalid value" so that
// the recursive walks over PMFs cannot exhaust the C stack.
constexpr int kMaxPmfDepth = 256;

// Integers are read from Python in two ways, on purpose:
// - Int_fromPy (arguments, attributes, PMF keys) reads the int as 64 bits and keeps the
//   low 32: a value outside the Int range wraps, as it always has for callers (the time
//   attribute wraps at 2**31 the same way); one beyond 64 bits is refused.
// - strictInt_fromPy (the pickled form, the exact network's state keys) refuses any value
//   outside the Int range with "Invalid value": the module writes a pickle from Int values
//   only, so such a value means a damaged or forged pickle, which must not restore as some
//   other state; a state key that wrapped would name another state.
PyObject* Int_toPy(MovraObject* obj, Int value);
Int Int_fromPy(MovraObject* obj, PyObject* pyObj);
Int strictInt_fromPy(PyObject* pyObj);
PyObject* Real_toPy(MovraObject* obj, Real value);
Real Real_fromPy(MovraObject* obj, PyObject* pyObj);
PyObject* Boolean_toPy(MovraObject* obj, Boolean value);
Boolean Boolean_fromPy(MovraObject* obj, PyObject* pyObj);

PyObject* Pmf_toPy(MovraObject* obj, Pmf* pmf);
// Adds the weight to the tuple of Python ints pyValues (a borrowed reference).
JointAccumulator* put_fromPy(JointAccumulator* acc, Real probability, PyObject* pyValues);
// expectedDepth 1 (simple) or 2 (joint of depth 2) names the shape the caller's check
// will demand: a dictionary of another shape is refused with "Invalid value" as soon as
// its entries have been checked, before anything is accumulated. 0 takes any shape.
Pmf* Pmf_fromPy(MovraObject* obj, PyObject* pyObj, int expectedDepth = 0);

PyObject* IntArray_toPy(MovraObject* obj, IntArray* a);
IntArray* IntArray_fromPy(MovraObject* obj, PyObject* pyObj);
PyObject* RealArray_toPy(MovraObject* obj, RealArray* a);
RealArray* RealArray_fromPy(MovraObject* obj, PyObject* pyObj);
PyObject* BooleanArray_toPy(MovraObject* obj, BooleanArray* a);
BooleanArray* BooleanArray_fromPy(MovraObject* obj, PyObject* pyObj);
PyObject* PmfArray_toPy(MovraObject* obj, PmfArray* a);
PmfArray* PmfArray_fromPy(MovraObject* obj, PyObject* pyObj, int expectedDepth = 0);

PyObject* IntMatrix_toPy(MovraObject* obj, IntMatrix* m);
IntMatrix* IntMatrix_fromPy(MovraObject* obj, PyObject* pyObj);
PyObject* RealMatrix_toPy(MovraObject* obj, RealMatrix* m);
RealMatrix* RealMatrix_fromPy(MovraObject* obj, PyObject* pyObj);
PyObject* BooleanMatrix_toPy(MovraObject* obj, BooleanMatrix* m);
BooleanMatrix* BooleanMatrix_fromPy(MovraObject* obj, PyObject* pyObj);
PyObject* PmfMatrix_toPy(MovraObject* obj, PmfMatrix* m);
PmfMatrix* PmfMatrix_fromPy(MovraObject* obj, PyObject* pyObj);

const char* functionNameFromPointer(MovraObject* obj, Interface fp);
Interface functionPointerFromName(MovraObject* obj, Int signatureIndex, const char* name);
PyObject* Interface_toPy(MovraObject* obj, Interface fp);
// Returns the object's own UTF-8 text, valid while the object lives.
const char* Interface_fromPy(MovraObject* obj, PyObject* pyObj, Int signatureIndex);
PyObject* InterfaceArray_toPy(MovraObject* obj, InterfaceArray* a);
InterfaceArray* InterfaceArray_fromPy(MovraObject* obj, PyObject* pyObj, Int signatureIndex);
PyObject* InterfaceMatrix_toPy(MovraObject* obj, InterfaceMatrix* m);
InterfaceMatrix* InterfaceMatrix_fromPy(MovraObject* obj, PyObject* pyObj, Int signatureIndex);

}  // namespace movra
