#include "pmf.h"

#include <cstdarg>

#include "../runtime/varargs.h"

namespace movra {

Pmf* allocateSimplePmf(MovraObject* obj, int offset, int length) {
    Pmf* pmf = static_cast<Pmf*>(
        movraMalloc(obj, recordBytes(offsetof(Pmf, simple.elements), length, sizeof(Real))));
    pmf->pmfType = SIMPLE;
    pmf->simple.offset = offset;
    pmf->simple.length = length;
    return pmf;
}

Pmf* allocateJointPmf(MovraObject* obj, Pmf* marginal, int depth) {
    Pmf* pmf = static_cast<Pmf*>(movraMalloc(
        obj, recordBytes(offsetof(Pmf, joint.elements), marginal->simple.length, sizeof(Pmf*))));
    pmf->pmfType = JOINT;
    pmf->joint.depth = depth;
    pmf->joint.marginal = marginal;
    return pmf;
}

Pmf* allocateEmptyJointPmf(MovraObject* obj, int depth) {
    return allocateJointPmf(obj, allocateSimplePmf(obj, 0, 0), depth);
}

Pmf* allocateCompoundPmf(MovraObject* obj, int length) {
    Pmf* pmf = static_cast<Pmf*>(
        movraMalloc(obj, recordBytes(offsetof(Pmf, compound.elements), length, sizeof(Pmf*))));
    pmf->pmfType = COMPOUND;
    pmf->compound.length = length;
    return pmf;
}

PmfConfig* createSimplePmfConfig(MovraObject* obj) {
    PmfConfig* config = static_cast<PmfConfig*>(movraMalloc(obj, kPmfConfigBytes));
    config->pmfType = SIMPLE;
    return config;
}

PmfConfig* createJointPmfConfig(MovraObject* obj, int depth) {
    PmfConfig* config = static_cast<PmfConfig*>(movraMalloc(obj, kPmfConfigBytes));
    config->pmfType = JOINT;
    config->joint.depth = depth;
    return config;
}

PmfConfig* createCompoundPmfConfig(MovraObject* obj, int length, ...) {
    PmfConfig* config = static_cast<PmfConfig*>(movraMalloc(
        obj, recordBytes(offsetof(PmfConfig, compound.depths), length, sizeof(int32_t))));
    config->pmfType = COMPOUND;
    config->compound.length = length;
    va_list args;
    va_start(args, length);
    VaListGuard guard{args};
    for (int i = 0; i < length; i++) config->compound.depths[i] = va_arg(args, int);
    return config;
}

Pmf* createCompoundPmf(MovraObject* obj, int length, ...) {
    Pmf* pmf = allocateCompoundPmf(obj, length);
    va_list args;
    va_start(args, length);
    VaListGuard guard{args};
    for (int i = 0; i < length; i++) pmf->compound.elements[i] = va_arg(args, Pmf*);
    return pmf;
}

Pmf* createAtomicSimplePmf(MovraObject* obj, Int value) {
    Pmf* pmf = allocateSimplePmf(obj, value, 1);
    pmf->simple.elements[0] = 1.0;
    return pmf;
}

Pmf* defaultJointPmf(MovraObject* obj, int depth) {
    // One atomic record serves as the marginal of every level and the innermost conditional.
    Pmf* base = createAtomicSimplePmf(obj, 0);
    Pmf* current = base;
    for (int i = 2; i <= depth; i++) {
        Pmf* joint = allocateJointPmf(obj, base, i);
        joint->joint.elements[0] = current;
        current = joint;
    }
    return current;
}

Pmf* defaultPmf(MovraObject* obj, PmfConfig* pmfConfig) {
    switch (pmfConfig->pmfType) {
        case JOINT: return defaultJointPmf(obj, pmfConfig->joint.depth);
        case COMPOUND: {
            Pmf* pmf = allocateCompoundPmf(obj, pmfConfig->compound.length);
            for (int i = 0; i < pmfConfig->compound.length; i++) {
                int depth = pmfConfig->compound.depths[i];
                pmf->compound.elements[i] =
                    depth == 1 ? createAtomicSimplePmf(obj, 0) : defaultJointPmf(obj, depth);
            }
            return pmf;
        }
        default: return createAtomicSimplePmf(obj, 0);
    }
}

Boolean isSamePmfInstance(Pmf* p, Pmf* q) { return p == q; }

void flag(Pmf* pmf) {
    if (pmf == nullptr) return;
    flagBlock(pmf);
    switch (pmf->pmfType) {
        case JOINT: {
            // Packed with its marginal and rows in one block (the grid accumulator's
            // records): that block's mark keeps them all, and they are on no list.
            const char* const block = reinterpret_cast<const char*>(pmf);
            const char* const marginal = reinterpret_cast<const char*>(pmf->joint.marginal);
            if (marginal > block && marginal < block + pmf->memHeader.size) break;
            flag(pmf->joint.marginal);
            Pmf* const* rows = pmf->joint.elements;
            for (int k = 0; k < pmf->joint.marginal->simple.length; k++) {
                Pmf* row = rows[k];
                // A simple row is marked here, without a call.
                if (row != nullptr && row->pmfType == SIMPLE)
                    row->memHeader.flag = true;
                else
                    flag(row);
            }
            break;
        }
        case COMPOUND:
            for (int k = 0; k < pmf->compound.length; k++) flag(pmf->compound.elements[k]);
            break;
        default: break;
    }
}

}  // namespace movra
