#include "convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../pmf/joint_accumulator.h"
#include "../pmf/sample_enumerator.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

// Refuses the value with "Invalid value", dropping the interpreter's own error first:
// the caller sees one error, the catalogue's.
[[noreturn]] static void refuseClearingError() {
    PyErr_Clear();
    failImport();
}

PyObject* Int_toPy(MovraObject*, Int value) { return checked(PyLong_FromLong(value)); }

Int Int_fromPy(MovraObject*, PyObject* pyObj) {
    if (!PyLong_Check(pyObj)) failImport();
    long long v = PyLong_AsLongLong(pyObj);
    if (v == -1 && PyErr_Occurred()) refuseClearingError();
    // Keep the low 32 bits: values outside the Int range wrap.
    return Int(uint32_t(uint64_t(v)));
}

Int strictInt_fromPy(PyObject* pyObj) {
    if (!PyLong_Check(pyObj)) failImport();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(pyObj, &overflow);
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) failImport();
    return Int(v);
}

PyObject* Real_toPy(MovraObject*, Real value) { return checked(PyFloat_FromDouble(value)); }

Real Real_fromPy(MovraObject*, PyObject* pyObj) {
    if (PyFloat_Check(pyObj)) return PyFloat_AS_DOUBLE(pyObj);
    if (!PyLong_Check(pyObj)) failImport();
    double v = PyLong_AsDouble(pyObj);
    if (v == -1.0 && PyErr_Occurred()) refuseClearingError();
    return v;
}

PyObject* Boolean_toPy(MovraObject*, Boolean value) { return checked(PyBool_FromLong(value)); }

Boolean Boolean_fromPy(MovraObject*, PyObject* pyObj) {
    long v = PyLong_AsLong(pyObj);
    if (v == -1 && PyErr_Occurred()) refuseClearingError();
    return v != 0;
}

// ---- PMFs ---------------------------------------------------------------------------

// A weight as the accumulators take it; NaN is refused because it would be summed like
// any weight and leave a PMF that no longer sums to 1.
static Real weight_fromPy(MovraObject* obj, PyObject* pyObj) {
    Real w = Real_fromPy(obj, pyObj);
    if (std::isnan(w)) failImport();
    return w;
}

JointAccumulator* put_fromPy(JointAccumulator* acc, Real probability, PyObject* pyValues) {
    if (probability <= 0) return acc;
    Real w = clampWeight(probability);
    const int32_t depth = acc->depth;
    if (!PyTuple_Check(pyValues) || PyTuple_GET_SIZE(pyValues) != depth) failImport();
    Accumulator* current = acc;
    for (int32_t i = 0; i + 1 < depth; i++) {
        JointAccumulator* joint = static_cast<JointAccumulator*>(current);
        Int value = Int_fromPy(acc->obj, PyTuple_GET_ITEM(pyValues, i));
        current = joint->child(value);
    }
    // At depth 1 this is the joint accumulator's own putSingle: an internal error.
    current->putSingle(w, Int_fromPy(acc->obj, PyTuple_GET_ITEM(pyValues, depth - 1)));
    return acc;
}

// The checks the accumulators make of a joint key, made before any window is widened: a
// tuple of exactly depth ints (depth at least 2), every coordinate but the last
// nonnegative ("Samples must be nonnegative integers"), the last too ("Negative integer
// in pmf support"), items in order as the accumulation takes them.
static void checkJointKey(MovraObject* obj, PyObject* key, Py_ssize_t depth) {
    if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != depth || depth < 2) failImport();
    for (Py_ssize_t i = 0; i < depth; i++) {
        if (Int_fromPy(obj, PyTuple_GET_ITEM(key, i)) >= 0) continue;
        fail(i + 1 < depth ? msg::NegativeSample : msg::NegativeInSupport);
    }
}

// A dictionary is checked whole before anything is accumulated, entry by entry in the
// order and with the messages the accumulation would give, so a bad entry anywhere is
// refused at the cost of reading the dictionary, whatever the range of the keys before
// it. Once it passes, accumulating can only run out of memory or find nothing positive.
namespace {
// A dictionary of a shape the caller's check refuses ("Invalid value" once every failure
// the conversion reports before that check has been looked for).
struct ShapeRefused {};
}  // namespace

// checkOnly: only the checks, nothing accumulated (null returned); the one failure left
// out is running out of memory.
static Pmf* pmfFromDict(MovraObject* obj, PyObject* pyObj, int expectedDepth, bool checkOnly) {
    // Iterating reads keys and values through type-exact accessors only, so no Python
    // code runs and the borrowed references stay valid throughout.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    if (!PyDict_Next(pyObj, &pos, &key, &value)) fail(msg::EmptyDictionary);
    bool positive = false;
    // The caller's shape check would refuse a PMF of another depth: refused before it
    // costs anything to accumulate.
    auto checkDepth = [&](Py_ssize_t depth) {
        if (positive && expectedDepth != 0 && depth != expectedDepth) throw ShapeRefused();
        // What accumulating nothing positive ends in.
        if (checkOnly && !positive) fail(msg::EmptyPmf);
        return !checkOnly;
    };
    if (PyLong_Check(key)) {
        pos = 0;
        Int lo = INT32_MAX, hi = 0;
        while (PyDict_Next(pyObj, &pos, &key, &value)) {
            // Simple keys are converted before their weight is looked at.
            Int k = Int_fromPy(obj, key);
            if (!(weight_fromPy(obj, value) > 0)) continue;
            if (k < 0) fail(msg::NegativeInSupport);
            positive = true;
            lo = std::min(lo, k);
            hi = std::max(hi, k);
        }
        if (!checkDepth(1)) return nullptr;
        SimpleAccumulator acc(obj);
        // The window of the values held, not one grown to twice their range.
        acc.reserve(lo, hi);
        pos = 0;
        while (PyDict_Next(pyObj, &pos, &key, &value)) {
            Int k = Int_fromPy(obj, key);
            acc.putSingle(weight_fromPy(obj, value), k);
        }
        return acc.toPmf();
    }
    if (!PyTuple_Check(key)) failImport();
    Py_ssize_t depth = PyTuple_GET_SIZE(key);
    if (depth < 1 || depth > kMaxPmfDepth) failImport();
    pos = 0;
    while (PyDict_Next(pyObj, &pos, &key, &value)) {
        if (!(weight_fromPy(obj, value) > 0)) continue;
        checkJointKey(obj, key, depth);
        positive = true;
    }
    if (!checkDepth(depth)) return nullptr;
    // With keys of one item nothing positive passed the check: this ends in "Empty pmf".
    JointAccumulator acc(obj, int(depth));
    pos = 0;
    while (PyDict_Next(pyObj, &pos, &key, &value)) put_fromPy(&acc, weight_fromPy(obj, value), key);
    return acc.toPmf();
}

static Pmf* pmfFromPy(MovraObject* obj, PyObject* pyObj, int nesting, int expectedDepth,
                      bool checkOnly) {
    if (PyTuple_Check(pyObj)) {
        if (nesting >= kMaxPmfDepth) failImport();
        Py_ssize_t n = PyTuple_GET_SIZE(pyObj);
        if (n > INT32_MAX) failImport();
        Pmf* pmf = checkOnly ? nullptr : allocateCompoundPmf(obj, Int(n));
        for (Py_ssize_t i = 0; i < n; i++) {
            Pmf* element = pmfFromPy(obj, PyTuple_GET_ITEM(pyObj, i), nesting + 1, 0, checkOnly);
            if (pmf != nullptr) pmf->compound.elements[i] = element;
        }
        return pmf;
    }
    if (!PyDict_Check(pyObj)) failImport();
    return pmfFromDict(obj, pyObj, expectedDepth, checkOnly);
}

Pmf* Pmf_fromPy(MovraObject* obj, PyObject* pyObj, int expectedDepth) {
    try {
        return pmfFromPy(obj, pyObj, 0, expectedDepth, false);
    } catch (const ShapeRefused&) {
        failImport();
    }
}

namespace {
class SampleEnumeratorFor_toPy : public SampleEnumerator {
public:
    MovraObject* obj;
    PyObject* pyDict;  // borrowed; the caller owns it

    SampleEnumeratorFor_toPy(MovraObject* _obj, Pmf* pmf, PyObject* _pyDict)
        : SampleEnumerator(pmf), obj(_obj), pyDict(_pyDict) {}

    void recordSample() override {
        PyRef key;
        if (depth == 1) {
            key = PyRef(Int_toPy(obj, records[1].value));
        } else {
            key = PyRef(checked(PyTuple_New(depth)));
            for (int32_t i = 0; i < depth; i++)
                PyTuple_SET_ITEM(key.get(), i, Int_toPy(obj, records[i + 1].value));
        }
        PyRef value(Real_toPy(obj, records[depth].probability));
        if (PyDict_SetItem(pyDict, key.get(), value.get()) < 0) throw PythonError();
    }
};
}  // namespace

PyObject* Pmf_toPy(MovraObject* obj, Pmf* pmf) {
    if (pmf->pmfType == COMPOUND) {
        PyRef tuple(checked(PyTuple_New(pmf->compound.length)));
        for (int32_t i = 0; i < pmf->compound.length; i++) {
            if (pmf->compound.elements[i] == nullptr) failInternal();
            PyTuple_SET_ITEM(tuple.get(), i, Pmf_toPy(obj, pmf->compound.elements[i]));
        }
        return tuple.release();
    }
    PyRef dict(checked(PyDict_New()));
    SampleEnumeratorFor_toPy enumerator(obj, pmf, dict.get());
    enumerator.run();
    return dict.release();
}

// ---- Arrays and matrices --------------------------------------------------------------

namespace {
// The number of items of a non-empty list, or "Invalid value".
Int listLength(PyObject* pyObj) {
    if (!PyList_Check(pyObj)) failImport();
    Py_ssize_t n = PyList_GET_SIZE(pyObj);
    if (n < 1 || n > INT32_MAX) failImport();
    return Int(n);
}

// Item i of a list, held while it is converted: a conversion that runs Python code
// (an __index__ method) may change the list under us.
PyRef listItem(PyObject* list, Int i) {
    if (i >= PyList_GET_SIZE(list)) failImport();
    return PyRef::newReferenceTo(PyList_GET_ITEM(list, i));
}

template <class Array, class Make, class Element>
Array* arrayFromPy(MovraObject* obj, PyObject* pyObj, Make make, Element element) {
    Int n = listLength(pyObj);
    Array* a = make(obj, n);
    for (Int i = 0; i < n; i++) {
        PyRef item = listItem(pyObj, i);
        a->elements[i] = element(obj, item.get());
    }
    return a;
}

template <class Array, class Element>
PyObject* arrayToPy(MovraObject* obj, Array* a, Element element) {
    PyRef list(checked(PyList_New(a->length)));
    for (Int i = 0; i < a->length; i++)
        PyList_SET_ITEM(list.get(), i, element(obj, a->elements[i]));
    return list.release();
}

template <class Matrix, class Make, class Row>
Matrix* matrixFromPy(MovraObject* obj, PyObject* pyObj, Make make, Row row) {
    Int n = listLength(pyObj);
    Matrix* m = make(obj, n, 0);
    for (Int i = 0; i < n; i++) {
        PyRef item = listItem(pyObj, i);
        m->elements[i] = row(obj, item.get());
    }
    return m;
}

template <class Matrix, class Row>
PyObject* matrixToPy(MovraObject* obj, Matrix* m, Row row) {
    PyRef list(checked(PyList_New(m->length)));
    for (Int i = 0; i < m->length; i++) {
        if (m->elements[i] == nullptr) failInternal();
        PyList_SET_ITEM(list.get(), i, row(obj, m->elements[i]));
    }
    return list.release();
}
}  // namespace

IntArray* IntArray_fromPy(MovraObject* obj, PyObject* pyObj) {
    return arrayFromPy<IntArray>(obj, pyObj, createIntArray, Int_fromPy);
}
RealArray* RealArray_fromPy(MovraObject* obj, PyObject* pyObj) {
    return arrayFromPy<RealArray>(obj, pyObj, createRealArray, Real_fromPy);
}
BooleanArray* BooleanArray_fromPy(MovraObject* obj, PyObject* pyObj) {
    return arrayFromPy<BooleanArray>(obj, pyObj, createBooleanArray, Boolean_fromPy);
}
// Elements are converted in order and the first failure is the one reported: once one
// has a shape the caller refuses, the rest are only checked, for a failure their
// conversion would report first.
PmfArray* PmfArray_fromPy(MovraObject* obj, PyObject* pyObj, int expectedDepth) {
    bool refused = false;
    PmfArray* a =
        arrayFromPy<PmfArray>(obj, pyObj, allocatePmfArray, [&](MovraObject* o, PyObject* item) {
            if (refused) return pmfFromPy(o, item, 0, 0, true);
            try {
                return pmfFromPy(o, item, 0, expectedDepth, false);
            } catch (const ShapeRefused&) {
                refused = true;
                return static_cast<Pmf*>(nullptr);
            }
        });
    if (refused) failImport();
    return a;
}
PyObject* IntArray_toPy(MovraObject* obj, IntArray* a) { return arrayToPy(obj, a, Int_toPy); }
PyObject* RealArray_toPy(MovraObject* obj, RealArray* a) { return arrayToPy(obj, a, Real_toPy); }
PyObject* BooleanArray_toPy(MovraObject* obj, BooleanArray* a) {
    return arrayToPy(obj, a, Boolean_toPy);
}
PyObject* PmfArray_toPy(MovraObject* obj, PmfArray* a) {
    return arrayToPy(obj, a, [](MovraObject* o, Pmf* p) {
        if (p == nullptr) failInternal();
        return Pmf_toPy(o, p);
    });
}

IntMatrix* IntMatrix_fromPy(MovraObject* obj, PyObject* pyObj) {
    return matrixFromPy<IntMatrix>(obj, pyObj, createIntMatrix, IntArray_fromPy);
}
RealMatrix* RealMatrix_fromPy(MovraObject* obj, PyObject* pyObj) {
    return matrixFromPy<RealMatrix>(obj, pyObj, createRealMatrix, RealArray_fromPy);
}
BooleanMatrix* BooleanMatrix_fromPy(MovraObject* obj, PyObject* pyObj) {
    return matrixFromPy<BooleanMatrix>(obj, pyObj, createBooleanMatrix, BooleanArray_fromPy);
}
PmfMatrix* PmfMatrix_fromPy(MovraObject* obj, PyObject* pyObj) {
    return matrixFromPy<PmfMatrix>(
        obj, pyObj, allocatePmfMatrix,
        [](MovraObject* o, PyObject* row) { return PmfArray_fromPy(o, row); });
}
PyObject* IntMatrix_toPy(MovraObject* obj, IntMatrix* m) {
    return matrixToPy(obj, m, IntArray_toPy);
}
PyObject* RealMatrix_toPy(MovraObject* obj, RealMatrix* m) {
    return matrixToPy(obj, m, RealArray_toPy);
}
PyObject* BooleanMatrix_toPy(MovraObject* obj, BooleanMatrix* m) {
    return matrixToPy(obj, m, BooleanArray_toPy);
}
PyObject* PmfMatrix_toPy(MovraObject* obj, PmfMatrix* m) {
    return matrixToPy(obj, m, PmfArray_toPy);
}

// ---- Interface values -----------------------------------------------------------------

const char* functionNameFromPointer(MovraObject* obj, Interface fp) {
    for (Int i = 0; i < obj->functionCount; i++)
        if (obj->functionPointers[i] == fp) return obj->functionNames[i];
    return "0";
}

Interface functionPointerFromName(MovraObject* obj, Int signatureIndex, const char* name) {
    for (Int i = 0; i < obj->functionCount; i++)
        if (obj->functionSignatureIndexes[i] == signatureIndex &&
            std::strcmp(obj->functionNames[i], name) == 0)
            return obj->functionPointers[i];
    return nullptr;
}

PyObject* Interface_toPy(MovraObject* obj, Interface fp) {
    return checked(PyUnicode_FromString(functionNameFromPointer(obj, fp)));
}

const char* Interface_fromPy(MovraObject* obj, PyObject* pyObj, Int signatureIndex) {
    if (!PyUnicode_Check(pyObj)) failImport();
    Py_ssize_t size;
    const char* name = PyUnicode_AsUTF8AndSize(pyObj, &size);
    if (name == nullptr) refuseClearingError();
    // An embedded NUL would otherwise match the name before it.
    if (std::strlen(name) != size_t(size)) failImport();
    if (functionPointerFromName(obj, signatureIndex, name) == nullptr) failImport();
    return name;
}

InterfaceArray* InterfaceArray_fromPy(MovraObject* obj, PyObject* pyObj, Int signatureIndex) {
    return arrayFromPy<InterfaceArray>(
        obj, pyObj, allocateInterfaceArray, [signatureIndex](MovraObject* o, PyObject* item) {
            const char* name = Interface_fromPy(o, item, signatureIndex);
            return functionPointerFromName(o, signatureIndex, name);
        });
}

PyObject* InterfaceArray_toPy(MovraObject* obj, InterfaceArray* a) {
    return arrayToPy(obj, a, Interface_toPy);
}

InterfaceMatrix* InterfaceMatrix_fromPy(MovraObject* obj, PyObject* pyObj, Int signatureIndex) {
    return matrixFromPy<InterfaceMatrix>(obj, pyObj, allocateInterfaceMatrix,
                                         [signatureIndex](MovraObject* o, PyObject* row) {
                                             return InterfaceArray_fromPy(o, row, signatureIndex);
                                         });
}

PyObject* InterfaceMatrix_toPy(MovraObject* obj, InterfaceMatrix* m) {
    return matrixToPy(obj, m, InterfaceArray_toPy);
}

}  // namespace movra
