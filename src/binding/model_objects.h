// The Python objects of the models: the interpreter's object header followed by the
// engine's model record, which never sees the interpreter. Every type is a static type
// object filled in their own files and readied by the module.
#pragma once
#include <Python.h>
#include <atomic>

#include "../models/exact_multiserver.h"
#include "../models/exact_network_multiserver.h"
#include "../models/standard_multiserver.h"
#include "../models/standard_network_multiserver.h"

namespace movra {

template <class Model>
struct ModelObject {
    PyObject_HEAD
        // Set while a call into the instance runs: a second call is refused, not interleaved
        // (it may come from a finaliser, a weakref callback or another thread).
        std::atomic<bool>
            busy;
    Model model;
};

using StandardMultiserverObject = ModelObject<StandardMultiserver>;
using StandardNetworkMultiserverObject = ModelObject<StandardNetworkMultiserver>;
using ExactMultiserverObject = ModelObject<ExactMultiserver>;
using ExactNetworkMultiserverObject = ModelObject<ExactNetworkMultiserver>;

template <class Model>
Model* modelOf(PyObject* self) {
    return &reinterpret_cast<ModelObject<Model>*>(self)->model;
}

// Offset of a model field (or of the arena header's counters) from the object's start,
// for member tables.
#define MOVRA_MODEL_OFFSET(Model, field) \
    (offsetof(::movra::ModelObject<Model>, model) + offsetof(Model, field))

extern PyTypeObject StandardMultiserverType;
extern PyTypeObject StandardNetworkMultiserverType;
extern PyTypeObject ExactMultiserverType;
extern PyTypeObject ExactNetworkMultiserverType;

}  // namespace movra
