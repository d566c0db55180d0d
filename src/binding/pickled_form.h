// The pickled form of the models: the whole configuration (every parameter, the state,
// time and the configuration saved by mark) as plain Python data, and the way back.
//
// A model is a dict keyed by the Python attribute names, in the order of the model's field
// list (configuration.h), with the exact models' max_states after them and the saved
// configuration under "mark" in the same shape. PMFs keep their stored layout, so a model read back
// steps bit for bit like the original:
//   simple PMF  (offset, [p0, p1, ...])            probabilities of offset, offset + 1, ...
//   joint PMF   (marginal, [conditional or None])  one conditional per marginal value,
//                                                  None where the marginal is 0
//   exact station state  [(times, z, [p of z, z + 1, ...]), ...]  one group per ascending
//                                                  tuple of remaining times
//   exact joint state  ([key, ...], [p, ...])      keys as stored (tuples of ints: per
//                                                  node z, b, b remaining times), sorted
// A record reached along several paths (after mark, a live field and its saved copy) is
// one Python object, so pickle stores it once and reading keeps it shared.
//
// Reading validates everything as the setters would, and more (a stored PMF must already
// be normalised and trimmed), building nothing into the model until all of it is good:
// a malformed or tampered form fails with a catalogue message ("Invalid value", or the
// setter's own message for a value a setter refuses) and leaves the model as it was.
#pragma once
#include <Python.h>
#include <functional>

#include "model_objects.h"

namespace movra {

// Written first in every pickled model; a later release reads each older format. The
// network's is 2 since its routing keeps only the entries other than 0 (format 1: every
// entry); the station's form has not changed.
constexpr long pickleFormat(StandardMultiserver*) { return 1; }
constexpr long pickleFormat(StandardNetworkMultiserver*) { return 2; }
constexpr long pickleFormat(ExactMultiserver*) { return 1; }
// The exact network's routing is written as the network's is since format 2.
constexpr long pickleFormat(ExactNetworkMultiserver*) { return 2; }

// The pickled form of each of the four models (instantiated in pickled_form.cpp).
template <class Model>
struct PickledForm {
    // A new reference. The network's form does not hold its node count: the constructor's
    // argument gives it.
    static PyObject* write(Model* model);
    // Replaces every field of the model with those of a form made by write in the given
    // format, 1 .. pickleFormat(model) (the network's node count must match). beforeCommit
    // runs once the whole form has been read and checked, before any field is stored; a
    // failure it throws leaves the model as it was. The caller sweeps afterwards.
    static void read(Model* model, PyObject* state, long format,
                     const std::function<void()>& beforeCommit);
};

}  // namespace movra
