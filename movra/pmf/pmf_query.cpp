#include "pmf_query.h"

#include <cstdarg>

#include "../containers/arrays.h"
#include "../runtime/error.h"
#include "../runtime/messages.h"

Real lookupProbability(Pmf* pmf, Int i) {
    // 64-bit difference: offset + length may lie beyond the Int range.
    int64_t k = int64_t(i) - pmf->simple.offset;
    if (k < 0 || k >= pmf->simple.length) return 0.0;
    return pmf->simple.elements[k];
}

Pmf* lookupMarginalPmf(Pmf* pmf) { return pmf->joint.marginal; }

Pmf* lookupConditionalPmf1(Pmf* pmf, Int value) {
    Pmf* marginal = pmf->joint.marginal;
    if (lookupProbability(marginal, value) == 0.0) abort(msg::ConditionOnZero);
    return pmf->joint.elements[value - marginal->simple.offset];
}

Pmf* lookupConditionalPmf(Pmf* pmf, Int length, ...) {
    Pmf* current = pmf;
    va_list args;
    va_start(args, length);
    try {
        for (Int i = 0; i < length; i++) current = lookupConditionalPmf1(current, va_arg(args, Int));
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return current;
}

Pmf* lookupCompoundPmf(Pmf* pmf, Int i) { return pmf->compound.elements[i]; }

Int computeLeftTail(Pmf* pmf, Real epsilon) {
    if (pmf->pmfType != SIMPLE) abort(msg::LeftTailNeedsSimple);
    Real sum = 0;
    for (Int i = 0; i < pmf->simple.length; i++) {
        sum += pmf->simple.elements[i];
        if (sum >= epsilon) return pmf->simple.offset + i;
    }
    // One past the stored range; saturated so a range ending at the top of Int cannot overflow.
    int64_t end = int64_t(pmf->simple.offset) + pmf->simple.length;
    return end > INT32_MAX ? INT32_MAX : Int(end);
}

Int computeRightTail(Pmf* pmf, Real epsilon) {
    if (pmf->pmfType != SIMPLE) abort(msg::RightTailNeedsSimple);
    Real sum = 0;
    for (Int i = pmf->simple.length - 1; i >= 0; i--) {
        sum += pmf->simple.elements[i];
        if (sum >= epsilon) return pmf->simple.offset + i;
    }
    return pmf->simple.offset;
}

Pmf* confirmSimplePmf(Pmf* pmf) {
    if (pmf == nullptr || pmf->pmfType != SIMPLE) abortImport();
    return pmf;
}

Pmf* confirmJointPmf(Pmf* pmf, int depth) {
    if (pmf == nullptr || pmf->pmfType != JOINT || pmf->joint.depth != depth) abortImport();
    return pmf;
}

namespace {
Pmf* confirmCompoundPmfV(Pmf* pmf, int length, va_list args) {
    if (pmf == nullptr || pmf->pmfType != COMPOUND || pmf->compound.length != length)
        abortImport();
    for (int i = 0; i < length; i++) {
        int depth = va_arg(args, int);
        if (depth == 1)
            confirmSimplePmf(pmf->compound.elements[i]);
        else
            confirmJointPmf(pmf->compound.elements[i], depth);
    }
    return pmf;
}

// Runs the compound check with the caller's depth list read afresh.
Pmf* confirmCompoundPmfCopy(Pmf* pmf, int length, va_list args) {
    va_list copy;
    va_copy(copy, args);
    try {
        confirmCompoundPmfV(pmf, length, copy);
    } catch (...) {
        va_end(copy);
        throw;
    }
    va_end(copy);
    return pmf;
}

PmfArray* confirmCompoundPmfArrayV(PmfArray* a, int length, va_list args) {
    if (a == nullptr) abortImport();
    for (Int i = 0; i < a->length; i++) confirmCompoundPmfCopy(a->elements[i], length, args);
    return a;
}
}  // namespace

Pmf* confirmCompoundPmf(Pmf* pmf, int length, ...) {
    va_list args;
    va_start(args, length);
    try {
        confirmCompoundPmfV(pmf, length, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return pmf;
}

PmfArray* confirmSimplePmfArray(PmfArray* a) {
    if (a == nullptr) abortImport();
    for (Int i = 0; i < a->length; i++) confirmSimplePmf(a->elements[i]);
    return a;
}

PmfArray* confirmJointPmfArray(PmfArray* a, int depth) {
    if (a == nullptr) abortImport();
    for (Int i = 0; i < a->length; i++) confirmJointPmf(a->elements[i], depth);
    return a;
}

PmfArray* confirmCompoundPmfArray(PmfArray* a, int length, ...) {
    va_list args;
    va_start(args, length);
    try {
        confirmCompoundPmfArrayV(a, length, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return a;
}

PmfMatrix* confirmSimplePmfMatrix(PmfMatrix* m) {
    if (m == nullptr) abortImport();
    for (Int i = 0; i < m->length; i++) confirmSimplePmfArray(m->elements[i]);
    return m;
}

PmfMatrix* confirmJointPmfMatrix(PmfMatrix* m, int depth) {
    if (m == nullptr) abortImport();
    for (Int i = 0; i < m->length; i++) confirmJointPmfArray(m->elements[i], depth);
    return m;
}

PmfMatrix* confirmCompoundPmfMatrix(PmfMatrix* m, int length, ...) {
    if (m == nullptr) abortImport();
    va_list args;
    va_start(args, length);
    try {
        for (Int i = 0; i < m->length; i++) confirmCompoundPmfArrayV(m->elements[i], length, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return m;
}
