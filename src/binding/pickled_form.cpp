#include "pickled_form.h"

#include <array>
#include <cmath>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../runtime/error.h"
#include "../runtime/messages.h"
#include "../runtime/scratch.h"
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

Int integer(PyObject* o) {
    if (!PyLong_Check(o)) failImport();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) failImport();
    return Int(v);
}

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

// The values of a dict with exactly the given keys, in the order of the keys.
template <size_t N>
std::array<PyObject*, N> fields(PyObject* dict, const char* const (&keys)[N]) {
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != Py_ssize_t(N)) failImport();
    std::array<PyObject*, N> values{};
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) failImport();
        size_t i = 0;
        while (i < N && PyUnicode_CompareWithASCIIString(key, keys[i]) != 0) i++;
        if (i == N || values[i] != nullptr) failImport();
        values[i] = value;
    }
    return values;
}

class Reader {
public:
    explicit Reader(MovraObject* obj) : obj_(obj) {}

    // A simple PMF: nonnegative support, probabilities in [0, 1] summing to 1, nonzero
    // at both ends.
    Pmf* simple(PyObject* o) {
        if (Pmf* seen = find(o, 1)) return seen;
        Int offset = integer(pair(o, 0));
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
        for (Int i = 0; i < n; i++) a->elements[i] = integer(PyList_GET_ITEM(o, i));
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
                    column = integer(pair(item, 0));
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

// ---- the station ------------------------------------------------------------------------

// A station's fields come from its field list (StandardMultiserver::forEachField), in its
// order; the dictionary holds them and "mark", whose dictionary holds the saved copies.
constexpr size_t kStationFields = 5;

PyObject* fieldValue(Writer& w, Pmf* pmf) { return w.pmf(pmf); }
PyObject* fieldValue(Writer&, Int value) { return checked(PyLong_FromLong(value)); }

void readField(Reader& r, PyObject* o, FieldKind kind, Pmf*& out) {
    out = kind == FieldKind::JointPmf ? r.joint(o, 2) : r.simple(o);
}
void readField(Reader&, PyObject* o, FieldKind, Int& out) { out = integer(o); }

// ---- the network ------------------------------------------------------------------------

constexpr const char* kNetworkKeys[] = {"internal_state",        "time",
                                        "number_of_servers",     "number_of_external_arrivals_pmfs",
                                        "service_duration_pmfs", "routing_probabilities"};
constexpr const char* kNetworkTopKeys[] = {"internal_state",
                                           "time",
                                           "number_of_servers",
                                           "number_of_external_arrivals_pmfs",
                                           "service_duration_pmfs",
                                           "routing_probabilities",
                                           "mark"};

struct NetworkFields {
    PmfArray* state;
    Int time;
    IntArray* servers;
    PmfArray* arrivals;
    PmfArray* service;
    SparseRealMatrix* routing;
};

void putNetwork(PyObject* dict, Writer& w, const NetworkFields& f) {
    put(dict, "internal_state", w.pmfs(f.state));
    put(dict, "time", checked(PyLong_FromLong(f.time)));
    put(dict, "number_of_servers", Writer::ints(f.servers));
    put(dict, "number_of_external_arrivals_pmfs", w.pmfs(f.arrivals));
    put(dict, "service_duration_pmfs", w.pmfs(f.service));
    put(dict, "routing_probabilities", w.matrix(f.routing));
}

// The state list may hold any number of node PMFs, as its setter allows; everything else
// has one entry per node and passes the checks of its setter.
template <size_t N>
NetworkFields readNetwork(Reader& r, const std::array<PyObject*, N>& v, Int nodes, long format) {
    NetworkFields f;
    f.state = r.pmfs(v[0], -1, true);
    f.time = integer(v[1]);
    f.servers = r.ints(v[2], nodes);
    for (Int i = 0; i < nodes; i++)
        if (f.servers->elements[i] < 0) fail(msg::InvalidNumberOfServers);
    f.arrivals = r.pmfs(v[3], nodes, false);
    f.service = r.pmfs(v[4], nodes, false);
    for (Int i = 0; i < nodes; i++)
        if (f.service->elements[i]->simple.offset == 0) fail(msg::InvalidServiceDuration);
    f.routing = r.matrix(v[5], nodes, format);
    return f;
}

template <size_t N>
std::array<PyObject*, N - 1> withoutLast(const std::array<PyObject*, N>& a) {
    std::array<PyObject*, N - 1> out{};
    for (size_t i = 0; i + 1 < N; i++) out[i] = a[i];
    return out;
}

// ---- the exact station ------------------------------------------------------------------
// Its state is a list of groups (remaining times as an ascending tuple, first z, [p of
// z, z + 1, ...]), the layout of the record, so a state read back steps bit for bit.

constexpr const char* kExactKeys[] = {"number_of_arrivals_pmf",
                                      "service_duration_pmf",
                                      "number_of_servers",
                                      "internal_state",
                                      "time",
                                      "capacity",
                                      "abandonment_probability"};
constexpr const char* kExactTopKeys[] = {"number_of_arrivals_pmf",
                                         "service_duration_pmf",
                                         "number_of_servers",
                                         "internal_state",
                                         "time",
                                         "capacity",
                                         "abandonment_probability",
                                         "max_states",
                                         "mark"};

struct ExactFields {
    Pmf* arrivals;
    Pmf* service;
    Int servers;
    ExactState* state;
    Int time;
    int64_t capacity;
    Real abandonment;
};

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

void putExact(PyObject* dict, Writer& w, std::unordered_map<ExactState*, PyRef>& memo,
              const ExactFields& f) {
    put(dict, "number_of_arrivals_pmf", w.pmf(f.arrivals));
    put(dict, "service_duration_pmf", w.pmf(f.service));
    put(dict, "number_of_servers", checked(PyLong_FromLong(f.servers)));
    put(dict, "internal_state", exactStateForm(f.state, memo));
    put(dict, "time", checked(PyLong_FromLong(f.time)));
    put(dict, "capacity",
        f.capacity < 0 ? PyRef::newReferenceTo(Py_None).release()
                       : checked(PyLong_FromLongLong(f.capacity)));
    put(dict, "abandonment_probability", checked(PyFloat_FromDouble(f.abandonment)));
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
            key[size_t(i)] = integer(PyTuple_GET_ITEM(times, i));
            if (key[size_t(i)] < 1 || (i > 0 && key[size_t(i)] < key[size_t(i - 1)])) failImport();
        }
        if (index.insert(key.data(), busy) != g) failImport();  // a key twice
        const Int z = integer(PyTuple_GET_ITEM(item, 1));
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

template <size_t N>
ExactFields readExact(Reader& r, MovraObject* obj, const std::array<PyObject*, N>& v,
                      int64_t maxStates, std::map<PyObject*, ExactState*>& memo) {
    ExactFields f;
    f.arrivals = r.simple(v[0]);
    f.service = r.simple(v[1]);
    f.servers = integer(v[2]);
    f.state = readExactState(obj, v[3], maxStates, memo);
    f.time = integer(v[4]);
    f.capacity = -1;
    if (v[5] != Py_None) {
        f.capacity = integer(v[5]);
        if (f.capacity < 0) fail(msg::InvalidCapacity);
    }
    if (!PyFloat_CheckExact(v[6])) failImport();
    f.abandonment = PyFloat_AS_DOUBLE(v[6]);
    if (!(f.abandonment >= 0 && f.abandonment <= 1)) fail(msg::InvalidProbability);
    return f;
}

// ---- the exact network -----------------------------------------------------------------

constexpr const char* kExactNetworkKeys[] = {
    "internal_state",        "time",
    "number_of_servers",     "number_of_external_arrivals_pmfs",
    "service_duration_pmfs", "routing_probabilities"};
constexpr const char* kExactNetworkTopKeys[] = {"internal_state",
                                                "time",
                                                "number_of_servers",
                                                "number_of_external_arrivals_pmfs",
                                                "service_duration_pmfs",
                                                "routing_probabilities",
                                                "max_states",
                                                "mark"};

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

struct ExactNetworkFields {
    NetworkFields network;
    ExactJointState* state;
};

// The state is checked as stored (sorted, unique, positive, normalised) and kept bit for
// bit; a state object shared by the live and saved fields is read once.
ExactNetworkFields readExactNetwork(Reader& r, ExactNetworkMultiserver* s,
                                    const std::array<PyObject*, 6>& v,
                                    std::map<PyObject*, ExactJointState*>& seen, long format) {
    ExactNetworkFields f;
    PyObject* keys = pair(v[0], 0);
    PyObject* probabilities = pair(v[0], 1);
    auto found = seen.find(v[0]);
    if (found != seen.end()) {
        f.state = found->second;
    } else {
        const Int n = listLength(keys);
        listLength(probabilities, n);
        std::vector<Int> words;
        std::vector<int64_t> offsets{0};
        std::vector<double> ps;
        for (Int j = 0; j < n; j++) {
            PyObject* key = PyList_GET_ITEM(keys, j);
            if (!PyTuple_CheckExact(key)) failImport();
            for (Py_ssize_t t = 0; t < PyTuple_GET_SIZE(key); t++)
                words.push_back(integer(PyTuple_GET_ITEM(key, t)));
            offsets.push_back(int64_t(words.size()));
            ps.push_back(real(PyList_GET_ITEM(probabilities, j)));
        }
        f.state = s->readJointState(words, offsets, ps);
        seen.emplace(v[0], f.state);
    }
    NetworkFields& net = f.network;
    const Int nodes = s->getNumberOfNodes();
    net.time = integer(v[1]);
    net.servers = r.ints(v[2], nodes);
    for (Int i = 0; i < nodes; i++)
        if (net.servers->elements[i] < 0) fail(msg::InvalidNumberOfServers);
    net.arrivals = r.pmfs(v[3], nodes, false);
    net.service = r.pmfs(v[4], nodes, false);
    for (Int i = 0; i < nodes; i++)
        if (net.service->elements[i]->simple.offset == 0) fail(msg::InvalidServiceDuration);
    net.routing = r.matrix(v[5], nodes, format);
    return f;
}

void putExactNetwork(PyObject* dict, Writer& w, PyObject* stateForm, Int time, IntArray* servers,
                     PmfArray* arrivals, PmfArray* service, SparseRealMatrix* routing) {
    put(dict, "internal_state", PyRef::newReferenceTo(stateForm).release());
    put(dict, "time", checked(PyLong_FromLong(time)));
    put(dict, "number_of_servers", Writer::ints(servers));
    put(dict, "number_of_external_arrivals_pmfs", w.pmfs(arrivals));
    put(dict, "service_duration_pmfs", w.pmfs(service));
    put(dict, "routing_probabilities", w.matrix(routing));
}

}  // namespace

PyObject* modelState(ExactNetworkMultiserver* s) {
    Writer w;
    PyRef liveState(jointStateForm(s->_state));
    // The mark usually shares the live state or an earlier one: written once if shared.
    PyRef markState(s->_markState == s->_state ? PyRef::newReferenceTo(liveState.get())
                                               : PyRef(jointStateForm(s->_markState)));
    PyRef dict(newDict());
    putExactNetwork(dict.get(), w, liveState.get(), s->_time, s->_numberOfServers,
                    s->_numberOfExternalArrivalsPmfs, s->_serviceDurationPmfs,
                    s->_routingProbabilities);
    put(dict.get(), "max_states", checked(PyLong_FromLongLong(s->_maxStates)));
    PyRef mark(newDict());
    putExactNetwork(mark.get(), w, markState.get(), s->_markTime, s->_markNumberOfServers,
                    s->_markNumberOfExternalArrivalsPmfs, s->_markServiceDurationPmfs,
                    s->_markRoutingProbabilities);
    put(dict.get(), "mark", mark.release());
    return dict.release();
}

void setModelState(ExactNetworkMultiserver* s, PyObject* state, long format,
                   const std::function<void()>& beforeCommit) {
    Reader r(s->arena());
    auto top = fields(state, kExactNetworkTopKeys);
    PyObject* limitForm = top[6];
    if (!PyLong_Check(limitForm)) failImport();
    int overflow = 0;
    const long long limit = PyLong_AsLongLongAndOverflow(limitForm, &overflow);
    if (overflow != 0 || limit < 1) failImport();
    std::map<PyObject*, ExactJointState*> seen;
    std::array<PyObject*, 6> liveForm{};
    for (size_t i = 0; i < 6; i++) liveForm[i] = top[i];
    ExactNetworkFields live = readExactNetwork(r, s, liveForm, seen, format);
    ExactNetworkFields mark =
        readExactNetwork(r, s, fields(top[7], kExactNetworkKeys), seen, format);
    if (live.state->count > limit || mark.state->count > limit)
        failTooManyStates("the state", double(std::max(live.state->count, mark.state->count)),
                          false, limit);
    beforeCommit();
    s->_state = live.state;
    s->_time = live.network.time;
    s->_numberOfServers = live.network.servers;
    s->_numberOfExternalArrivalsPmfs = live.network.arrivals;
    s->_serviceDurationPmfs = live.network.service;
    s->_routingProbabilities = live.network.routing;
    s->_maxStates = limit;
    s->_markState = mark.state;
    s->_markTime = mark.network.time;
    s->_markNumberOfServers = mark.network.servers;
    s->_markNumberOfExternalArrivalsPmfs = mark.network.arrivals;
    s->_markServiceDurationPmfs = mark.network.service;
    s->_markRoutingProbabilities = mark.network.routing;
}

PyObject* modelState(StandardMultiserver* s) {
    Writer w;
    PyRef dict(newDict());
    PyRef mark(newDict());
    s->forEachField([&](auto& live, auto& saved, FieldKind, const char* key) {
        put(dict.get(), key, fieldValue(w, live));
        put(mark.get(), key, fieldValue(w, saved));
    });
    put(dict.get(), "mark", mark.release());
    return dict.release();
}

void setModelState(StandardMultiserver* s, PyObject* state, long,
                   const std::function<void()>& beforeCommit) {
    const char* keys[kStationFields + 1];
    size_t n = 0;
    s->forEachField([&](auto&, auto&, FieldKind, const char* key) { keys[n++] = key; });
    if (n != kStationFields) failInternal();
    keys[n] = "mark";
    Reader r(s->arena());
    auto top = fields(state, keys);
    const char* markKeys[kStationFields];
    std::copy(keys, keys + kStationFields, markKeys);
    auto saved = fields(top[kStationFields], markKeys);
    // Every value is read, the live ones first, before any field is stored.
    StandardMultiserver next = *s;
    size_t i = 0;
    next.forEachField([&](auto& live, auto&, FieldKind kind, const char*) {
        readField(r, top[i++], kind, live);
    });
    i = 0;
    next.forEachField([&](auto&, auto& mark, FieldKind kind, const char*) {
        readField(r, saved[i++], kind, mark);
    });
    beforeCommit();
    next.header = s->header;  // the reads counted their blocks in the instance's arena
    *s = next;
}

PyObject* modelState(StandardNetworkMultiserver* s) {
    Writer w;
    PyRef dict(newDict());
    putNetwork(dict.get(), w,
               {s->_internalState, s->_time, s->_numberOfServers, s->_numberOfExternalArrivalsPmfs,
                s->_serviceDurationPmfs, s->_routingProbabilities});
    PyRef mark(newDict());
    putNetwork(mark.get(), w,
               {s->_markInternalState, s->_markTime, s->_markNumberOfServers,
                s->_markNumberOfExternalArrivalsPmfs, s->_markServiceDurationPmfs,
                s->_markRoutingProbabilities});
    put(dict.get(), "mark", mark.release());
    return dict.release();
}

void setModelState(StandardNetworkMultiserver* s, PyObject* state, long format,
                   const std::function<void()>& beforeCommit) {
    const Int nodes = s->getNumberOfNodes();
    Reader r(s->arena());
    auto top = fields(state, kNetworkTopKeys);
    NetworkFields live = readNetwork(r, withoutLast(top), nodes, format);
    NetworkFields mark = readNetwork(r, fields(top[6], kNetworkKeys), nodes, format);
    beforeCommit();
    s->_internalState = live.state;
    s->_time = live.time;
    s->_numberOfServers = live.servers;
    s->_numberOfExternalArrivalsPmfs = live.arrivals;
    s->_serviceDurationPmfs = live.service;
    s->_routingProbabilities = live.routing;
    s->_markInternalState = mark.state;
    s->_markTime = mark.time;
    s->_markNumberOfServers = mark.servers;
    s->_markNumberOfExternalArrivalsPmfs = mark.arrivals;
    s->_markServiceDurationPmfs = mark.service;
    s->_markRoutingProbabilities = mark.routing;
}

PyObject* modelState(ExactMultiserver* s) {
    Writer w;
    std::unordered_map<ExactState*, PyRef> memo;
    PyRef dict(newDict());
    putExact(dict.get(), w, memo,
             {s->_numberOfArrivalsPmf, s->_serviceDurationPmf, s->_numberOfServers,
              s->_internalState, s->_time, s->_capacity, s->_abandonmentProbability});
    put(dict.get(), "max_states", checked(PyLong_FromLongLong(s->_maxStates)));
    PyRef mark(newDict());
    putExact(
        mark.get(), w, memo,
        {s->_markNumberOfArrivalsPmf, s->_markServiceDurationPmf, s->_markNumberOfServers,
         s->_markInternalState, s->_markTime, s->_markCapacity, s->_markAbandonmentProbability});
    put(dict.get(), "mark", mark.release());
    return dict.release();
}

void setModelState(ExactMultiserver* s, PyObject* state, long,
                   const std::function<void()>& beforeCommit) {
    Reader r(s->arena());
    auto top = fields(state, kExactTopKeys);
    if (!PyLong_CheckExact(top[7])) failImport();
    int overflow = 0;
    const long long limit = PyLong_AsLongLongAndOverflow(top[7], &overflow);
    if (overflow != 0 || limit < 1) fail(msg::InvalidMaxStates);
    std::map<PyObject*, ExactState*> memo;
    std::array<PyObject*, 7> liveForm{};
    std::copy(top.begin(), top.begin() + 7, liveForm.begin());
    ExactFields live = readExact(r, s->arena(), liveForm, limit, memo);
    ExactFields mark = readExact(r, s->arena(), fields(top[8], kExactKeys), limit, memo);
    beforeCommit();
    s->_numberOfArrivalsPmf = live.arrivals;
    s->_serviceDurationPmf = live.service;
    s->_numberOfServers = live.servers;
    s->_internalState = live.state;
    s->_time = live.time;
    s->_capacity = live.capacity;
    s->_abandonmentProbability = live.abandonment;
    s->_markNumberOfArrivalsPmf = mark.arrivals;
    s->_markServiceDurationPmf = mark.service;
    s->_markNumberOfServers = mark.servers;
    s->_markInternalState = mark.state;
    s->_markTime = mark.time;
    s->_markCapacity = mark.capacity;
    s->_markAbandonmentProbability = mark.abandonment;
    s->_maxStates = limit;
    // The draws are made again for whatever service the next step finds.
    s->_freshDraws = nullptr;
}

}  // namespace movra
