// The configuration of a model, declared once: each model lists its fields in one visitor,
// forEachField(visit), calling visit(live, saved, kind, name) for every field with the
// copy mark() saves of it, its kind and its Python name (the key of the pickled form), in
// the order of the pickled form. The sweep's roots, the defaults, mark and restore and
// the pickled form all go through that list, so a new field is one line there and cannot
// be left out of any of them (a field not marked as a root would be freed under the
// model).
#pragma once
#include "../containers/arrays.h"
#include "../containers/sparse_matrix.h"
#include "../pmf/pmf.h"

namespace movra {

// What a field holds, or each element of a container field holds, and so its default.
enum class FieldKind {
    SimplePmf,  // the default simple PMF: 0 with probability 1
    JointPmf,   // the default joint PMF of depth 2
    Number,     // numbers: an Int is 0, a container of numbers the container's default
};

namespace configuration {

inline void setDefault(MovraObject* obj, Pmf*& field, FieldKind kind) {
    field = defaultPmf(obj, kind == FieldKind::JointPmf ? createJointPmfConfig(obj, 2)
                                                        : createSimplePmfConfig(obj));
}
inline void setDefault(MovraObject*, Int& field, FieldKind) { field = 0; }
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

template <class T>
void flagRoot(T* p) {
    flag(p);
}
inline void flagRoot(Int) {}

// Every field and its saved copy marked as roots of the sweep.
template <class Model>
void flagRoots(Model& m) {
    m.forEachField([](auto& live, auto& saved, FieldKind, const char*) {
        flagRoot(live);
        flagRoot(saved);
    });
}

// Every field and its saved copy given its default (before init, which may replace some).
template <class Model>
void setDefaults(Model& m) {
    MovraObject* obj = m.arena();
    m.forEachField([obj](auto& live, auto& saved, FieldKind kind, const char*) {
        setDefault(obj, live, kind);
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

}  // namespace configuration
}  // namespace movra
