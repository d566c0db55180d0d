// The pickled form of both models: the whole configuration (every parameter, the state,
// time and the configuration saved by mark) as plain Python data, and the way back.
//
// A model is a dict keyed by the Python attribute names, with the saved configuration
// under "mark" in the same shape. PMFs keep their stored layout, so a model read back
// steps bit for bit like the original:
//   simple PMF  (offset, [p0, p1, ...])            probabilities of offset, offset + 1, ...
//   joint PMF   (marginal, [conditional or None])  one conditional per marginal value,
//                                                  None where the marginal is 0
// A record reached along several paths (after mark, a live field and its saved copy) is
// one Python object, so pickle stores it once and reading keeps it shared.
//
// Reading validates everything as the setters would, and more (a stored PMF must already
// be normalised and trimmed), building nothing into the model until all of it is good:
// a malformed or tampered form fails with a catalogue message ("Invalid value", or the
// setter's own message for a value a setter refuses) and leaves the model as it was.
#pragma once
#include <Python.h>

#include "model_objects.h"

namespace movra {

// Written first in every pickled model; a later release reads each older format.
constexpr long kPickleFormat = 1;

// New references. The network's form does not hold its node count: the constructor's
// argument gives it.
PyObject* modelState(StandardMultiserver* model);
PyObject* modelState(StandardNetworkMultiserver* model);
PyObject* modelState(ExactMultiserver* model);

// Replaces every field of the model with those of a form made by modelState (the
// network's node count must match). The caller sweeps afterwards.
void setModelState(StandardMultiserver* model, PyObject* state);
void setModelState(StandardNetworkMultiserver* model, PyObject* state);
void setModelState(ExactMultiserver* model, PyObject* state);

}  // namespace movra
