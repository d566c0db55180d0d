// The PMF record in its three kinds, the shape descriptor PmfConfig, and their builders.
// Every record is one arena block with a trailing element array. A record is never
// changed once a builder has returned it, so records are freely shared by reference.
#pragma once
#include <cstddef>

#include "../runtime/arena.h"

namespace movra {

enum PmfType : int32_t { SIMPLE = 0, JOINT = 1, COMPOUND = 2 };

struct Pmf;

struct SimplePmfOverlay {
    int32_t offset;           // the value elements[0] belongs to
    int32_t length;           // stored probabilities; 0 for the empty PMF
    Trailing<Real> elements;  // elements[k]: probability of offset + k
};

struct JointPmfOverlay {
    int32_t depth;            // components of an outcome, at least 2
    Pmf* marginal;            // simple PMF of the first component
    Trailing<Pmf*> elements;  // [marginal.length]: conditional PMF given marginal.offset + k,
                              // null allowed where the marginal probability is 0
};

struct CompoundPmfOverlay {
    int32_t length;           // number of components
    Trailing<Pmf*> elements;  // each simple or joint
};

struct Pmf {
    MemHeader memHeader;
    PmfType pmfType;  // selects the overlay
    union {
        SimplePmfOverlay simple;
        JointPmfOverlay joint;
        CompoundPmfOverlay compound;
    };
};

struct SimplePmfConfigOverlay {};
struct JointPmfConfigOverlay {
    int32_t depth;  // depth of the joint PMF described
};
struct CompoundPmfConfigOverlay {
    int32_t length;            // number of components
    Trailing<int32_t> depths;  // 1 for a simple component, d >= 2 for a joint one of depth d
};

// Lives only until the next sweep: never referred to by a Pmf or a root.
struct PmfConfig {
    MemHeader memHeader;
    PmfType pmfType;
    union {
        SimplePmfConfigOverlay simple;
        JointPmfConfigOverlay joint;
        CompoundPmfConfigOverlay compound;
    };
};
// Bytes of a simple or joint descriptor (a compound one adds its depths).
constexpr size_t kPmfConfigBytes = offsetof(PmfConfig, compound.depths);

Pmf* allocateSimplePmf(MovraObject* obj, int offset, int length);
Pmf* allocateJointPmf(MovraObject* obj, Pmf* marginal, int depth);
Pmf* allocateEmptyJointPmf(MovraObject* obj, int depth);
Pmf* allocateCompoundPmf(MovraObject* obj, int length);
PmfConfig* createSimplePmfConfig(MovraObject* obj);
PmfConfig* createJointPmfConfig(MovraObject* obj, int depth);
PmfConfig* createCompoundPmfConfig(MovraObject* obj, int length, ...);
Pmf* createCompoundPmf(MovraObject* obj, int length, ...);
// {value: 1.0}: the one builder of an atomic PMF.
Pmf* createAtomicSimplePmf(MovraObject* obj, Int value);
Pmf* defaultJointPmf(MovraObject* obj, int depth);
Pmf* defaultPmf(MovraObject* obj, PmfConfig* pmfConfig);
Boolean isSamePmfInstance(Pmf* p, Pmf* q);

// Marks the record and everything reachable from it, once per path.
void flag(Pmf* pmf);

}  // namespace movra
