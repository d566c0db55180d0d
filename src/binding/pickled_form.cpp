#include "pickled_form.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/scratch.h"
#include "convert.h"
#include "py_ref.h"

namespace movra {

namespace {

// How far from 1 the stored probabilities of a PMF may sum: the accumulators normalise
// to within a few ulps per entry, a tampered PMF is far off.
constexpr double kSumTolerance = 1e-6;

// ---- writing ----------------------------------------------------------------------------

PyRef pairOf(PyRef first, PyRef second) {
    PyRef tuple(checked(PyTuple_New(2)));
    PyTuple_SET_ITEM(tuple.get(), 0, first.release());
    PyTuple_SET_ITEM(tuple.get(), 1, second.release());
    return tuple;
}

class Writer {
public:
    // A new reference to the form of a simple or joint PMF.
    PyObject* pmf(Pmf* p) {
        if (p == nullptr || p->pmfType == COMPOUND) failInternal();
        auto seen = memo_.find(p);
        if (seen != memo_.end()) return PyRef::newReferenceTo(seen->second.get()).release();
        PyRef form = p->pmfType == SIMPLE ? simple(p) : joint(p);
        memo_.emplace(p, PyRef::newReferenceTo(form.get()));
        return form.release();
    }

    template <class Array, class Element>
    static PyObject* list(Array* a, Element element) {
        PyRef out(checked(PyList_New(a->length)));
        for (Int i = 0; i < a->length; i++) PyList_SET_ITEM(out.get(), i, element(a->elements[i]));
        return out.release();
    }

    PyObject* pmfs(PmfArray* a) {
        return list(a, [this](Pmf* p) { return pmf(p); });
    }
    static PyObject* ints(IntArray* a) {
        return list(a, [](Int v) { return checked(PyLong_FromLong(v)); });
    }
    static PyObject* reals(RealArray* a) {
        return list(a, [](Real v) { return checked(PyFloat_FromDouble(v)); });
    }
    // One list per row of its (column, value) entries; a row shared by two matrices is one
    // Python object, as a shared PMF is.
    PyObject* matrix(SparseRealMatrix* m) {
        return list(m, [this](SparseRealRow* row) {
            auto seen = rows_.find(row);
            if (seen != rows_.end()) return PyRef::newReferenceTo(seen->second.get()).release();
            const Int n = row == nullptr ? 0 : row->length;
            PyRef entries(checked(PyList_New(n)));
            for (Int k = 0; k < n; k++)
                PyList_SET_ITEM(entries.get(), k,
                                pairOf(PyRef(checked(PyLong_FromLong(row->elements[k].column))),
                                       PyRef(checked(PyFloat_FromDouble(row->elements[k].value))))
                                    .release());
            if (row != nullptr) rows_.emplace(row, PyRef::newReferenceTo(entries.get()));
            return entries.release();
        });
    }

private:
    static PyRef simple(Pmf* p) {
        PyRef probabilities(checked(PyList_New(p->simple.length)));
        for (Int k = 0; k < p->simple.length; k++)
            PyList_SET_ITEM(probabilities.get(), k,
                            checked(PyFloat_FromDouble(p->simple.elements[k])));
        return pairOf(PyRef(checked(PyLong_FromLong(p->simple.offset))), std::move(probabilities));
    }

    PyRef joint(Pmf* p) {
        PyRef marginal(pmf(p->joint.marginal));
        const Int n = p->joint.marginal->simple.length;
        PyRef conditionals(checked(PyList_New(n)));
        for (Int k = 0; k < n; k++) {
            Pmf* c = p->joint.elements[k];
            PyList_SET_ITEM(conditionals.get(), k,
                            c == nullptr ? PyRef::newReferenceTo(Py_None).release() : pmf(c));
        }
        return pairOf(std::move(marginal), std::move(conditionals));
    }

    std::unordered_map<Pmf*, PyRef> memo_;
    std::unordered_map<SparseRealRow*, PyRef> rows_;
};

// Adds value (a new reference, stolen) under key.
void put(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned(value);
    if (PyDict_SetItemString(dict, key, owned.get()) < 0) throw PythonError();
}

PyObject* newDict() { return checked(PyDict_New()); }

// ---- reading ----------------------------------------------------------------------------
// Only exact dicts, lists and tuples, ints and floats are read, through accessors that run
// no Python code, so the borrowed items stay valid while they are read.

Real real(PyObject* o) {
    if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
    if (!PyLong_Check(o)) failImport();
    double v = PyLong_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        failImport();
    }
    return v;
}

// The items of a list, which must have `expected` of them (any positive number if -1).
Int listLength(PyObject* o, Int expected = -1) {
    if (!PyList_CheckExact(o)) failImport();
    Py_ssize_t n = PyList_GET_SIZE(o);
    if (n < 1 || n > INT32_MAX || (expected >= 0 && n != expected)) failImport();
    return Int(n);
}

PyObject* pair(PyObject* o, int i) {
    if (!PyTuple_CheckExact(o) || PyTuple_GET_SIZE(o) != 2) failImport();
    return PyTuple_GET_ITEM(o, i);
}

class Reader {
public:
    explicit Reader(MovraObject* obj) : obj_(obj) {}

    // A simple PMF: nonnegative support, probabilities in [0, 1] summing to 1, nonzero
    // at both ends.
    Pmf* simple(PyObject* o) {
        if (Pmf* seen = find(o, 1)) return seen;
        Int offset = strictInt_fromPy(pair(o, 0));
        PyObject* probabilities = pair(o, 1);
        Int n = listLength(probabilities);
        if (offset < 0 || n - 1 > INT32_MAX - offset) failImport();
        Pmf* p = allocateSimplePmf(obj_, offset, n);
        double total = 0;
        for (Int k = 0; k < n; k++) {
            Real v = real(PyList_GET_ITEM(probabilities, k));
            if (!(v >= 0 && v <= 1)) failImport();
            p->simple.elements[k] = v;
            total += v;
        }
        if (!(p->simple.elements[0] > 0 && p->simple.elements[n - 1] > 0)) failImport();
        if (!(std::fabs(total - 1.0) <= kSumTolerance)) failImport();
        return remember(o, 1, p);
    }

    // A joint PMF of the given depth (at least 2).
    Pmf* joint(PyObject* o, int depth) {
        if (Pmf* seen = find(o, depth)) return seen;
        Pmf* marginal = simple(pair(o, 0));
        PyObject* conditionals = pair(o, 1);
        const Int n = listLength(conditionals, marginal->simple.length);
        Pmf* p = allocateJointPmf(obj_, marginal, depth);
        for (Int k = 0; k < n; k++) {
            PyObject* c = PyList_GET_ITEM(conditionals, k);
            if (c == Py_None) {
                if (marginal->simple.elements[k] > 0) failImport();
                continue;
            }
            p->joint.elements[k] = depth == 2 ? simple(c) : joint(c, depth - 1);
        }
        return remember(o, depth, p);
    }

    PmfArray* pmfs(PyObject* o, Int expected, bool joint) {
        Int n = listLength(o, expected);
        PmfArray* a = allocatePmfArray(obj_, n);
        for (Int i = 0; i < n; i++) {
            PyObject* item = PyList_GET_ITEM(o, i);
            a->elements[i] = joint ? this->joint(item, 2) : simple(item);
        }
        return a;
    }

    IntArray* ints(PyObject* o, Int expected) {
        Int n = listLength(o, expected);
        IntArray* a = createIntArray(obj_, n);
        for (Int i = 0; i < n; i++) a->elements[i] = strictInt_fromPy(PyList_GET_ITEM(o, i));
        return a;
    }

    // An n x n matrix of probabilities (each in 0 .. 1, else the setter's message): in
    // format 1 a list of n rows of n values, later a list of n rows of (column, value)
    // entries by increasing column.
    SparseRealMatrix* matrix(PyObject* o, Int n, long format) {
        listLength(o, n);
        SparseRealMatrix* m = createSparseRealMatrix(obj_, n, n);
        ScratchBuffer<SparseEntry> entries;
        bool refused = false;  // a probability outside 0 .. 1: reported once all is read
        for (Int i = 0; i < n; i++) {
            PyObject* row = PyList_GET_ITEM(o, i);
            auto seen = rows_.find(row);
            if (seen != rows_.end()) {
                m->elements[i] = seen->second;
                continue;
            }
            if (!PyList_CheckExact(row)) failImport();
            const Py_ssize_t size = PyList_GET_SIZE(row);
            if (format == 1 ? size != n : size > n) failImport();
            if (entries.size() < size) entries.reset(size);
            Int count = 0;
            for (Py_ssize_t k = 0; k < size; k++) {
                PyObject* item = PyList_GET_ITEM(row, k);
                Int column = Int(k);
                Real value;
                if (format == 1) {
                    value = real(item);
                } else {
                    column = strictInt_fromPy(pair(item, 0));
                    value = real(pair(item, 1));
                    if (column < 0 || column >= n ||
                        (count > 0 && column <= entries[count - 1].column))
                        failImport();
                }
                refused |= !(value >= 0 && value <= 1);
                if (value == 0 && !std::signbit(value)) continue;  // not stored
                entries[count++] = SparseEntry{column, value};
            }
            m->elements[i] = createSparseRealRow(obj_, entries.get(), count);
            rows_.emplace(row, m->elements[i]);
        }
        if (refused) fail(msg::InvalidProbability);
        return m;
    }

private:
    Pmf* find(PyObject* o, int depth) {
        auto seen = memo_.find({o, depth});
        return seen == memo_.end() ? nullptr : seen->second;
    }
    Pmf* remember(PyObject* o, int depth, Pmf* p) {
        memo_.emplace(std::make_pair(o, depth), p);
        return p;
    }

    MovraObject* obj_;
    // The objects are borrowed from the form, which outlives the reading.
    std::map<std::pair<PyObject*, int>, Pmf*> memo_;
    std::unordered_map<PyObject*, SparseRealRow*> rows_;
};

// ---- the exact models' states ---------------------------------------------------------
// The exact station's state is a list of groups (remaining times as an ascending tuple,
// first z, [p of z, z + 1, ...]), the layout of the record, so a state read back steps bit
// for bit. The exact network's is (keys, probabilities) in the record's order.

PyObject* exactStateForm(ExactState* state, std::unordered_map<ExactState*, PyRef>& memo) {
    auto seen = memo.find(state);
    if (seen != memo.end()) return PyRef::newReferenceTo(seen->second.get()).release();
    ExactGroup* groups = groupsOf(state);
    const Int* keys = keysOf(state);
    const Real* p = probabilitiesOf(state);
    PyRef list(checked(PyList_New(state->groupCount)));
    for (Int g = 0; g < state->groupCount; g++) {
        const ExactGroup& group = groups[g];
        PyRef key(checked(PyTuple_New(group.busy)));
        for (Int i = 0; i < group.busy; i++)
            PyTuple_SET_ITEM(key.get(), i, checked(PyLong_FromLong(keys[group.keyStart + i])));
        PyRef run(checked(PyList_New(group.length)));
        for (Int i = 0; i < group.length; i++)
            PyList_SET_ITEM(run.get(), i, checked(PyFloat_FromDouble(p[group.probStart + i])));
        PyRef item(checked(PyTuple_New(3)));
        PyTuple_SET_ITEM(item.get(), 0, key.release());
        PyTuple_SET_ITEM(item.get(), 1, checked(PyLong_FromLong(group.zOffset)));
        PyTuple_SET_ITEM(item.get(), 2, run.release());
        PyList_SET_ITEM(list.get(), g, item.release());
    }
    memo.emplace(state, PyRef::newReferenceTo(list.get()));
    return list.release();
}

// A state form: distinct ascending keys of remaining times >= 1, runs whose z are at
// least their busy count, probabilities in [0, 1] with positive ends and a total of 1,
// and no more states than the limit.
ExactState* readExactState(MovraObject* obj, PyObject* o, int64_t maxStates,
                           std::map<PyObject*, ExactState*>& memo) {
    auto seen = memo.find(o);
    if (seen != memo.end()) {
        if (seen->second->stateCount > maxStates)
            failStateLimit(seen->second->stateCount, false, maxStates);
        return seen->second;
    }
    const Int n = listLength(o);
    MultisetIndex index;
    std::vector<Int> key;
    std::vector<Int> zOffsets(static_cast<size_t>(n));
    int64_t states = 0;
    for (Int g = 0; g < n; g++) {
        PyObject* item = PyList_GET_ITEM(o, g);
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 3) failImport();
        PyObject* times = PyTuple_GET_ITEM(item, 0);
        if (!PyTuple_CheckExact(times) || PyTuple_GET_SIZE(times) > INT32_MAX) failImport();
        const Int busy = Int(PyTuple_GET_SIZE(times));
        key.resize(size_t(busy));
        for (Int i = 0; i < busy; i++) {
            key[size_t(i)] = strictInt_fromPy(PyTuple_GET_ITEM(times, i));
            if (key[size_t(i)] < 1 || (i > 0 && key[size_t(i)] < key[size_t(i - 1)])) failImport();
        }
        if (index.insert(key.data(), busy) != g) failImport();  // a key twice
        const Int z = strictInt_fromPy(PyTuple_GET_ITEM(item, 1));
        const Int length = listLength(PyTuple_GET_ITEM(item, 2));
        if (z < busy || int64_t(z) + length - 1 > INT32_MAX) failImport();
        zOffsets[size_t(g)] = z;
        states += length;
    }
    if (states > maxStates) failStateLimit(states, false, maxStates);
    checkKeyBudget(index.keyCount(), maxStates);
    ExactState* s = allocateExactState(obj, n, index.keyCount(), states);
    ExactGroup* groups = groupsOf(s);
    Int* keys = keysOf(s);
    Real* p = probabilitiesOf(s);
    int64_t keyAt = 0, probAt = 0;
    Int maxRemaining = 0;
    double total = 0;
    for (Int g = 0; g < n; g++) {
        PyObject* run = PyTuple_GET_ITEM(PyList_GET_ITEM(o, g), 2);
        const Int busy = index.length(g), length = Int(PyList_GET_SIZE(run));
        std::copy(index.key(g), index.key(g) + busy, keys + keyAt);
        if (busy > 0) maxRemaining = std::max(maxRemaining, index.key(g)[busy - 1]);
        groups[g] = ExactGroup{keyAt, probAt, busy, zOffsets[size_t(g)], length, 0};
        for (Int i = 0; i < length; i++) {
            Real v = real(PyList_GET_ITEM(run, i));
            if (!(v >= 0 && v <= 1)) failImport();
            p[probAt + i] = v;
            total += v;
        }
        if (!(p[probAt] > 0 && p[probAt + length - 1] > 0)) failImport();
        keyAt += busy;
        probAt += length;
    }
    if (!(std::fabs(total - 1.0) <= kSumTolerance)) failImport();
    s->maxRemaining = maxRemaining;
    memo.emplace(o, s);
    return s;
}

PyObject* jointStateForm(ExactJointState* s) {
    PyRef keys(checked(PyList_New(Py_ssize_t(s->count))));
    PyRef probabilities(checked(PyList_New(Py_ssize_t(s->count))));
    for (int64_t j = 0; j < s->count; j++) {
        const int64_t length = s->offsets()[j + 1] - s->offsets()[j];
        PyRef key(checked(PyTuple_New(Py_ssize_t(length))));
        for (int64_t t = 0; t < length; t++)
            PyTuple_SET_ITEM(key.get(), Py_ssize_t(t), checked(PyLong_FromLong(s->key(j)[t])));
        PyList_SET_ITEM(keys.get(), Py_ssize_t(j), key.release());
        PyList_SET_ITEM(probabilities.get(), Py_ssize_t(j),
                        checked(PyFloat_FromDouble(s->probabilities()[j])));
    }
    return pairOf(std::move(keys), std::move(probabilities)).release();
}

// ---- a model's form, from its field list ----------------------------------------------
// The dictionary holds every field under its key, in the order of the model's field list
// (forEachField), then what a model keeps beside its configuration (max_states), then
// "mark", whose dictionary holds the saved copies. The field's C++ type and kind say how
// its value is written and read.

class FieldWriter {
public:
    PyObject* value(Pmf* p, FieldKind) { return w_.pmf(p); }
    PyObject* value(Int v, FieldKind) { return checked(PyLong_FromLong(v)); }
    PyObject* value(int64_t capacity, FieldKind) {
        return capacity < 0 ? PyRef::newReferenceTo(Py_None).release()
                            : checked(PyLong_FromLongLong(capacity));
    }
    PyObject* value(Real v, FieldKind) { return checked(PyFloat_FromDouble(v)); }
    PyObject* value(PmfArray* a, FieldKind) { return w_.pmfs(a); }
    PyObject* value(IntArray* a, FieldKind) { return Writer::ints(a); }
    PyObject* value(SparseRealMatrix* m, FieldKind) { return w_.matrix(m); }
    PyObject* value(ExactState* state, FieldKind) { return exactStateForm(state, exact_); }
    // The mark usually shares the live state or an earlier one: written once if shared.
    PyObject* value(ExactJointState* state, FieldKind) {
        auto seen = joint_.find(state);
        if (seen != joint_.end()) return PyRef::newReferenceTo(seen->second.get()).release();
        PyRef form(jointStateForm(state));
        joint_.emplace(state, PyRef::newReferenceTo(form.get()));
        return form.release();
    }

private:
    Writer w_;
    std::unordered_map<ExactState*, PyRef> exact_;
    std::unordered_map<ExactJointState*, PyRef> joint_;
};

// Each value is checked as its setter checks it, and more (see the header).
class FieldReader {
public:
    FieldReader(MovraObject* obj, long format) : r_(obj), obj_(obj), format_(format) {}

    Int nodes = 0;                                  // of a network: its containers' length
    int64_t maxStates = INT64_MAX;                  // of an exact station's state
    ExactNetworkMultiserver* jointModel = nullptr;  // reads an exact network's state

    void read(PyObject* o, FieldKind kind, Pmf*& out) {
        out = kind == FieldKind::JointPmf ? r_.joint(o, 2) : r_.simple(o);
    }
    void read(PyObject* o, FieldKind, Int& out) { out = strictInt_fromPy(o); }
    void read(PyObject* o, FieldKind, int64_t& capacity) {
        capacity = -1;
        if (o == Py_None) return;
        capacity = strictInt_fromPy(o);
        if (capacity < 0) fail(msg::InvalidCapacity);
    }
    void read(PyObject* o, FieldKind, Real& out) {
        if (!PyFloat_CheckExact(o)) failImport();
        out = PyFloat_AS_DOUBLE(o);
        if (!(out >= 0 && out <= 1)) fail(msg::InvalidProbability);
    }
    // A list of node states may hold any number of them, as its setter allows.
    void read(PyObject* o, FieldKind kind, PmfArray*& out) {
        const bool joint = kind == FieldKind::JointPmf;
        out = r_.pmfs(o, joint ? -1 : nodes, joint);
        if (kind == FieldKind::Duration)
            for (Int i = 0; i < out->length; i++)
                if (out->elements[i]->simple.offset == 0) fail(msg::InvalidServiceDuration);
    }
    void read(PyObject* o, FieldKind kind, IntArray*& out) {
        out = r_.ints(o, nodes);
        if (kind == FieldKind::Count)
            for (Int i = 0; i < out->length; i++)
                if (out->elements[i] < 0) fail(msg::InvalidNumberOfServers);
    }
    void read(PyObject* o, FieldKind, SparseRealMatrix*& out) {
        out = r_.matrix(o, nodes, format_);
    }
    void read(PyObject* o, FieldKind, ExactState*& out) {
        out = readExactState(obj_, o, maxStates, exact_);
    }
    // Checked as stored (sorted, unique, positive, normalised) and kept bit for bit.
    void read(PyObject* o, FieldKind, ExactJointState*& out) {
        auto found = joint_.find(o);
        if (found != joint_.end()) {
            out = found->second;
            return;
        }
        PyObject* keys = pair(o, 0);
        PyObject* probabilities = pair(o, 1);
        const Int n = listLength(keys);
        listLength(probabilities, n);
        std::vector<Int> words;
        std::vector<int64_t> offsets{0};
        std::vector<double> ps;
        for (Int j = 0; j < n; j++) {
            PyObject* key = PyList_GET_ITEM(keys, j);
            if (!PyTuple_CheckExact(key)) failImport();
            for (Py_ssize_t t = 0; t < PyTuple_GET_SIZE(key); t++)
                words.push_back(strictInt_fromPy(PyTuple_GET_ITEM(key, t)));
            offsets.push_back(int64_t(words.size()));
            ps.push_back(real(PyList_GET_ITEM(probabilities, j)));
        }
        if (jointModel == nullptr) failInternal();
        out = jointModel->readJointState(words, offsets, ps);
        joint_.emplace(o, out);
    }

private:
    Reader r_;
    MovraObject* obj_;
    long format_;
    // The objects are borrowed from the form, which outlives the reading.
    std::map<PyObject*, ExactState*> exact_;
    std::map<PyObject*, ExactJointState*> joint_;
};

// The values of a dict with exactly the given keys, in the order of the keys.
std::vector<PyObject*> fields(PyObject* dict, const std::vector<const char*>& keys) {
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != Py_ssize_t(keys.size())) failImport();
    std::vector<PyObject*> values(keys.size(), nullptr);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) failImport();
        size_t i = 0;
        while (i < keys.size() && PyUnicode_CompareWithASCIIString(key, keys[i]) != 0) i++;
        if (i == keys.size() || values[i] != nullptr) failImport();
        values[i] = value;
    }
    return values;
}

// The top level of a form: the fields' values in field order, then the extra key's (null
// without one), and the dictionary of the saved fields, whose keys are read after the live
// values.
struct FormValues {
    std::vector<const char*> keys;
    std::vector<PyObject*> live;
    PyObject* extra = nullptr;
    PyObject* mark = nullptr;
};

template <class Model>
FormValues formValues(Model* s, PyObject* state, const char* extraKey = nullptr) {
    FormValues v;
    s->forEachField([&](auto&, auto&, FieldKind, const char* key) { v.keys.push_back(key); });
    std::vector<const char*> keys = v.keys;
    if (extraKey != nullptr) keys.push_back(extraKey);
    keys.push_back("mark");
    v.live = fields(state, keys);
    v.mark = v.live.back();
    if (extraKey != nullptr) v.extra = v.live[v.keys.size()];
    v.live.resize(v.keys.size());
    return v;
}

// Every field of next (a copy of the model) read, the live ones first.
template <class Model>
void readFields(Model& next, FieldReader& r, const FormValues& v) {
    size_t i = 0;
    next.forEachField(
        [&](auto& live, auto&, FieldKind kind, const char*) { r.read(v.live[i++], kind, live); });
    const std::vector<PyObject*> saved = fields(v.mark, v.keys);
    i = 0;
    next.forEachField(
        [&](auto&, auto& mark, FieldKind kind, const char*) { r.read(saved[i++], kind, mark); });
}

template <class Model>
constexpr bool isExact =
    std::is_same_v<Model, ExactMultiserver> || std::is_same_v<Model, ExactNetworkMultiserver>;
template <class Model>
constexpr bool isNetwork = std::is_same_v<Model, StandardNetworkMultiserver> ||
                           std::is_same_v<Model, ExactNetworkMultiserver>;

// The exact models keep their state limit beside the configuration, under "max_states":
// the station's refused with its setter's message, the network's as any malformed value.
int64_t stateLimit(ExactMultiserver*, PyObject* o) {
    if (!PyLong_CheckExact(o)) failImport();
    int overflow = 0;
    const long long limit = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || limit < 1) fail(msg::InvalidMaxStates);
    return limit;
}
int64_t stateLimit(ExactNetworkMultiserver*, PyObject* o) {
    if (!PyLong_Check(o)) failImport();
    int overflow = 0;
    const long long limit = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || limit < 1) failImport();
    return limit;
}

}  // namespace

template <class Model>
PyObject* PickledForm<Model>::write(Model* s) {
    FieldWriter w;
    PyRef dict(newDict());
    PyRef mark(newDict());
    s->forEachField([&](auto& live, auto& saved, FieldKind kind, const char* key) {
        put(dict.get(), key, w.value(live, kind));
        put(mark.get(), key, w.value(saved, kind));
    });
    if constexpr (isExact<Model>)
        put(dict.get(), "max_states", checked(PyLong_FromLongLong(s->_maxStates)));
    put(dict.get(), "mark", mark.release());
    return dict.release();
}

template <class Model>
void PickledForm<Model>::read(Model* s, PyObject* state, long format,
                              const std::function<void()>& beforeCommit) {
    FormValues v = formValues(s, state, isExact<Model> ? "max_states" : nullptr);
    FieldReader r(s->arena(), format);
    if constexpr (isExact<Model>) r.maxStates = stateLimit(s, v.extra);
    if constexpr (isNetwork<Model>) r.nodes = s->getNumberOfNodes();
    if constexpr (std::is_same_v<Model, ExactNetworkMultiserver>) r.jointModel = s;
    Model next = *s;
    readFields(next, r, v);
    if constexpr (std::is_same_v<Model, ExactNetworkMultiserver>) {
        const int64_t states = std::max(next._state->count, next._markState->count);
        if (states > r.maxStates)
            failTooManyStates("the state", double(states), false, r.maxStates);
    }
    beforeCommit();
    if constexpr (isExact<Model>) next._maxStates = r.maxStates;
    // The draws are made again for whatever service the next step finds.
    if constexpr (std::is_same_v<Model, ExactMultiserver>) next._freshDraws = nullptr;
    // The reads counted their blocks in the instance's arena.
    next.header = s->header;
    *s = next;
}

template struct PickledForm<StandardMultiserver>;
template struct PickledForm<StandardNetworkMultiserver>;
template struct PickledForm<ExactMultiserver>;
template struct PickledForm<ExactNetworkMultiserver>;

}  // namespace movra
