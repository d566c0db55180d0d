// The configuration of a model, declared once: each model lists its fields in one visitor,
// forEachField(visit), calling visit(live, saved, kind, name) for every field with the
// copy mark() saves of it, its kind and its Python name (the key of the pickled form), in
// the order of the pickled form. The sweep's roots, the defaults, mark and restore, the
// networks' node-by-node copy and the pickled form all go through that list, so a new
// field is one line there and cannot be left out of any of them (a field not marked as a
// root would be freed under the model).
#pragma once
#include <type_traits>

#include "../containers/arrays.h"
#include "../containers/sparse_matrix.h"
#include "../pmf/pmf.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"

namespace movra {

// What a field holds, or each element of a container field holds: it gives the default,
// and the checks a pickled value passes (those of the field's setter).
enum class FieldKind {
    SimplePmf,    // the default simple PMF: 0 with probability 1
    JointPmf,     // the default joint PMF of depth 2; a list of them may have any length
    Number,       // numbers: an Int is 0, a container of numbers the container's default
    Count,        // numbers, none negative (servers at a node): as Number
    Duration,     // simple PMFs of durations in steps, none holding 0: as SimplePmf
    Capacity,     // most entities in system, or -1 for no limit: -1
    Probability,  // a number in 0 .. 1: 0
    ExactState,   // an exact model's state record: nothing in the system, with certainty
};

namespace configuration {

inline void setDefault(MovraObject* obj, Pmf*& field, FieldKind kind) {
    field = kind == FieldKind::JointPmf ? defaultJointPmf(obj, 2) : createAtomicSimplePmf(obj, 0);
}
inline void setDefault(MovraObject*, Int& field, FieldKind) { field = 0; }
inline void setDefault(MovraObject*, int64_t& field, FieldKind) { field = -1; }
inline void setDefault(MovraObject*, Real& field, FieldKind) { field = 0.0; }
inline void setDefault(MovraObject* obj, PmfArray*& field, FieldKind kind) {
    field = defaultPmfArray(obj, kind == FieldKind::JointPmf ? createJointPmfConfig(obj, 2)
                                                             : createSimplePmfConfig(obj));
}
inline void setDefault(MovraObject* obj, IntArray*& field, FieldKind) {
    field = defaultIntArray(obj);
}
inline void setDefault(MovraObject* obj, SparseRealMatrix*& field, FieldKind) {
    field = createSparseRealMatrix(obj, 1, 1);
}

// Records never change once made and may be shared by a field and its saved copy;
// containers are changed element by element by the setters, so each has its own.
template <class T>
constexpr bool isContainer = std::is_same_v<T, PmfArray*> || std::is_same_v<T, IntArray*> ||
                             std::is_same_v<T, SparseRealMatrix*>;

template <class T>
void flagRoot(T value) {
    if constexpr (std::is_pointer_v<T>) flag(value);
}

// Every field and its saved copy marked as roots of the sweep.
template <class Model>
void flagRoots(Model& m) {
    m.forEachField([](auto& live, auto& saved, FieldKind, const char*) {
        flagRoot(live);
        flagRoot(saved);
    });
}

// Every field given its default (before init, which may replace some); the saved copy a
// default of its own, or with shareRecords the same record where it is not a container.
template <class Model>
void setDefaults(Model& m, bool shareRecords = false) {
    MovraObject* obj = m.arena();
    m.forEachField([obj, shareRecords](auto& live, auto& saved, FieldKind kind, const char*) {
        setDefault(obj, live, kind);
        if (shareRecords && !isContainer<std::remove_reference_t<decltype(live)>>)
            saved = live;
        else
            setDefault(obj, saved, kind);
    });
}

// The saved copies take the live values (save), or the live values the saved ones.
template <class Model>
void save(Model& m) {
    m.forEachField([](auto& live, auto& saved, FieldKind, const char*) { saved = live; });
}
template <class Model>
void bringBack(Model& m) {
    m.forEachField([](auto& live, auto& saved, FieldKind, const char*) { live = saved; });
}

// ---- the networks: configurations of N nodes -----------------------------------------

// A field sized for n nodes: a container with an element per node (a duration 1 step with
// certainty, 0 servers, no arrivals, every node's state empty), the routing n x n.
inline void setNodeDefault(MovraObject*, Int& field, FieldKind, Int) { field = 0; }
inline void setNodeDefault(MovraObject* obj, IntArray*& field, FieldKind, Int n) {
    field = createIntArray(obj, n);
}
inline void setNodeDefault(MovraObject* obj, PmfArray*& field, FieldKind kind, Int n) {
    if (kind == FieldKind::Duration) {
        field = allocatePmfArray(obj, n);
        for (Int i = 0; i < n; i++) field->elements[i] = createAtomicSimplePmf(obj, 1);
        return;
    }
    field = createPmfArray(
        obj,
        kind == FieldKind::JointPmf ? createJointPmfConfig(obj, 2) : createSimplePmfConfig(obj), n);
}
inline void setNodeDefault(MovraObject* obj, SparseRealMatrix*& field, FieldKind, Int n) {
    field = createSparseRealMatrix(obj, n, n);
}

// Every field and its saved copy sized for n nodes; a record the two share.
template <class Model>
void setNodeDefaults(Model& m, Int n) {
    MovraObject* obj = m.arena();
    m.forEachField([obj, n](auto& live, auto& saved, FieldKind kind, const char*) {
        setNodeDefault(obj, live, kind, n);
        if (isContainer<std::remove_reference_t<decltype(live)>>)
            setNodeDefault(obj, saved, kind, n);
        else
            saved = live;
    });
}

// One field copied into the other for nodes 0 .. n-1 (write false: only the lookups the
// copy makes, which fail for a container shorter than N). A scalar or a record is copied
// whole.
inline void copyNodes(IntArray* to, IntArray* from, Int n, bool write) {
    for (Int i = 0; i < n; i++) {
        Int& slot = lookup(to, i);
        const Int value = lookup(from, i);
        if (write) slot = value;
    }
}
inline void copyNodes(PmfArray* to, PmfArray* from, Int n, bool write) {
    for (Int i = 0; i < n; i++) {
        Pmf*& slot = lookup(to, i);
        Pmf* value = lookup(from, i);
        if (write) slot = value;
    }
}
// Rows never change once made: the copy shares them.
inline void copyNodes(SparseRealMatrix* to, SparseRealMatrix* from, Int n, bool write) {
    for (Int i = 0; i < n; i++) {
        Int count;
        rowEntries(to, i, count);
        rowEntries(from, i, count);
        if (from->columns != to->columns) fail(msg::LookupOutOfRange);
        if (write) to->elements[i] = from->elements[i];
    }
}
template <class T>
void copyNodes(T& to, const T& from, Int, bool write) {
    static_assert(!isContainer<T>);
    if (write) to = from;
}

// Copies one configuration into the other (save: the live one into the saved one) node by
// node; no container is replaced. All or nothing: a first pass makes every lookup the
// copy makes (a state list shorter than N fails one) and only the second writes.
template <class Model>
void copyByNode(Model& m, Int n, bool save) {
    for (bool write : {false, true})
        m.forEachField([n, save, write](auto& live, auto& saved, FieldKind, const char*) {
            if (save)
                copyNodes(saved, live, n, write);
            else
                copyNodes(live, saved, n, write);
        });
}

}  // namespace configuration
}  // namespace movra
