#include "array_checks.h"

#include <cstdarg>

#include "../pmf/pmf_query.h"
#include "../runtime/error.h"
#include "../runtime/varargs.h"

namespace movra {

namespace {
// A container received from Python: present, and every element passing the check.
template <class Container, class Check>
Container* confirmEach(Container* c, Check check) {
    if (c == nullptr) failImport();
    for (Int i = 0; i < c->length; i++) check(c->elements[i]);
    return c;
}

// Every element is checked against the caller's depth list, read afresh each time.
PmfArray* confirmCompoundPmfArrayV(PmfArray* a, int length, va_list args) {
    return confirmEach(a, [&](Pmf* pmf) {
        va_list copy;
        va_copy(copy, args);
        VaListGuard guard{copy};
        confirmCompoundPmfV(pmf, length, copy);
    });
}
}  // namespace

PmfArray* confirmSimplePmfArray(PmfArray* a) { return confirmEach(a, confirmSimplePmf); }

PmfArray* confirmJointPmfArray(PmfArray* a, int depth) {
    return confirmEach(a, [depth](Pmf* pmf) { confirmJointPmf(pmf, depth); });
}

PmfArray* confirmCompoundPmfArray(PmfArray* a, int length, ...) {
    va_list args;
    va_start(args, length);
    VaListGuard guard{args};
    return confirmCompoundPmfArrayV(a, length, args);
}

PmfMatrix* confirmSimplePmfMatrix(PmfMatrix* m) { return confirmEach(m, confirmSimplePmfArray); }

PmfMatrix* confirmJointPmfMatrix(PmfMatrix* m, int depth) {
    return confirmEach(m, [depth](PmfArray* row) { confirmJointPmfArray(row, depth); });
}

PmfMatrix* confirmCompoundPmfMatrix(PmfMatrix* m, int length, ...) {
    if (m == nullptr) failImport();
    va_list args;
    va_start(args, length);
    VaListGuard guard{args};
    return confirmEach(m, [&](PmfArray* row) { confirmCompoundPmfArrayV(row, length, args); });
}

}  // namespace movra
