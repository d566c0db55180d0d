#include "array_checks.h"

#include <cstdarg>

#include "../pmf/pmf_query.h"
#include "../runtime/error.h"
#include "../runtime/varargs.h"

namespace movra {

namespace {
// Every element is checked against the caller's depth list, read afresh each time.
PmfArray* confirmCompoundPmfArrayV(PmfArray* a, int length, va_list args) {
    if (a == nullptr) failImport();
    for (Int i = 0; i < a->length; i++) {
        va_list copy;
        va_copy(copy, args);
        VaListGuard guard{copy};
        confirmCompoundPmfV(a->elements[i], length, copy);
    }
    return a;
}
}  // namespace

PmfArray* confirmSimplePmfArray(PmfArray* a) {
    if (a == nullptr) failImport();
    for (Int i = 0; i < a->length; i++) confirmSimplePmf(a->elements[i]);
    return a;
}

PmfArray* confirmJointPmfArray(PmfArray* a, int depth) {
    if (a == nullptr) failImport();
    for (Int i = 0; i < a->length; i++) confirmJointPmf(a->elements[i], depth);
    return a;
}

PmfArray* confirmCompoundPmfArray(PmfArray* a, int length, ...) {
    va_list args;
    va_start(args, length);
    VaListGuard guard{args};
    return confirmCompoundPmfArrayV(a, length, args);
}

PmfMatrix* confirmSimplePmfMatrix(PmfMatrix* m) {
    if (m == nullptr) failImport();
    for (Int i = 0; i < m->length; i++) confirmSimplePmfArray(m->elements[i]);
    return m;
}

PmfMatrix* confirmJointPmfMatrix(PmfMatrix* m, int depth) {
    if (m == nullptr) failImport();
    for (Int i = 0; i < m->length; i++) confirmJointPmfArray(m->elements[i], depth);
    return m;
}

PmfMatrix* confirmCompoundPmfMatrix(PmfMatrix* m, int length, ...) {
    if (m == nullptr) failImport();
    va_list args;
    va_start(args, length);
    VaListGuard guard{args};
    for (Int i = 0; i < m->length; i++) confirmCompoundPmfArrayV(m->elements[i], length, args);
    return m;
}

}  // namespace movra
