// Failing model operations, driven from C++ under LeakSanitizer: every arena allocation of
// a step refused in turn (through the instance's memory limit), and model failures deep in
// a step. Each must leave the roots and the counters as they were, leak no scratch, and let
// the instance step on exactly as one that never failed.
#include <cstdint>
#include <gtest/gtest.h>
#include <initializer_list>
#include <utility>
#include <vector>

#include "models/standard_multiserver.h"
#include "models/standard_network_multiserver.h"
#include "pmf/accumulator.h"
#include "pmf/joint_accumulator.h"
#include "runtime/arena.h"
#include "test_support.h"

namespace {

using SN = StandardNetworkMultiserver;

Pmf* simplePmf(MovraObject* obj, std::initializer_list<std::pair<Int, Real>> entries) {
    SimpleAccumulator acc(obj);
    for (auto [value, p] : entries) acc.putSingle(p, value);
    return acc.toPmf();
}

Pmf* jointPmf(MovraObject* obj,
              std::initializer_list<std::pair<std::pair<Int, Int>, Real>> entries) {
    JointAccumulator acc(obj, 2);
    for (auto [key, p] : entries) acc.putDouble(p, key.first, key.second);
    return acc.toPmf();
}

Instance<StandardMultiserver>* station(Instance<StandardMultiserver>* s) {
    MovraObject* obj = s->obj();
    s->m.init();
    s->m._numberOfServers = 2;
    s->m._numberOfArrivalsPmf = simplePmf(obj, {{0, 0.5}, {1, 0.3}, {3, 0.2}});
    s->m._serviceDurationPmf = simplePmf(obj, {{1, 0.5}, {2, 0.5}});
    s->m.resetWithNumberOfEntitiesInSystem(3);
    s->m.mark();
    s->sweep();
    return s;
}

Instance<StandardNetworkMultiserver>* network(Instance<StandardNetworkMultiserver>* n) {
    MovraObject* obj = n->obj();
    SN& net = n->m;
    net.init(3);
    for (Int k = 0; k < 3; k++) {
        net.setNumberOfServersAtNode(k, k);
        net.setNumberOfExternalArrivalsAtNodePmf(k, simplePmf(obj, {{0, 0.6}, {Int(k + 1), 0.4}}));
        net.setServiceDurationAtNodePmf(k, simplePmf(obj, {{1, 0.5}, {2, 0.5}}));
        net.resetNodeWithNumberOfEntities(k, 2);
    }
    net.setRoutingProbability(1, 0, 0.5);
    net.setRoutingProbability(2, 1, 0.25);
    net.setRoutingProbability(2, 2, 0.25);
    net.mark();
    n->sweep();
    return n;
}

// Refuses the step's arena allocations one after another (a limit that grows by one small
// block at a time) until a step fits; every refusal must leave no trace.
template <class Model, class Roots>
void refuseEveryAllocation(Instance<Model>& inst, Roots roots) {
    MovraObject* obj = inst.obj();
    const auto before = roots(inst.m);
    const unsigned long long memory = obj->currentMemoryUse;
    int refusals = 0;
    for (unsigned long long extra = 0;; extra += 8) {
        obj->memoryLimit = memory + extra;
        try {
            inst.m.step();
        } catch (const CException& e) {
            ASSERT_STREQ(e.message, "Out of memory");
            refusals++;
            inst.sweep();
            ASSERT_EQ(roots(inst.m), before) << "after " << refusals << " refusals";
            ASSERT_EQ(obj->currentMemoryUse, memory);
            continue;
        }
        break;
    }
    obj->memoryLimit = 0;
    inst.sweep();
    EXPECT_GT(refusals, 10);
}

TEST(ModelFailure, StationStepRefusedAtEveryAllocation) {
    Instance<StandardMultiserver> failing, twin;
    station(&failing);
    station(&twin);
    auto roots = [](StandardMultiserver& m) { return std::make_pair(m._internalState, m._time); };
    refuseEveryAllocation(failing, roots);
    twin.m.step();
    EXPECT_TRUE(samePmf(failing.m._internalState, twin.m._internalState));
    EXPECT_EQ(failing.m._time, twin.m._time);
}

TEST(ModelFailure, NetworkStepRefusedAtEveryAllocation) {
    Instance<SN> failing, twin;
    network(&failing);
    network(&twin);
    auto roots = [](SN& n) {
        std::vector<const void*> r{n._internalState};
        for (Int k = 0; k < n._internalState->length; k++)
            r.push_back(n._internalState->elements[k]);
        r.push_back(reinterpret_cast<const void*>(intptr_t(n._time)));
        return r;
    };
    refuseEveryAllocation(failing, roots);
    twin.m.step();
    for (Int k = 0; k < 3; k++)
        EXPECT_TRUE(
            samePmf(failing.m._internalState->elements[k], twin.m._internalState->elements[k]));
}

// A model failure after the completion tables, flows and earlier nodes were formed.
TEST(ModelFailure, FailuresDeepInAStepLeaveNoTrace) {
    Instance<StandardMultiserver> s;
    station(&s);
    s.m._internalState = jointPmf(s.obj(), {{{0, 1}, 0.5}, {{2, 0}, 0.5}});
    s.sweep();
    Pmf* state = s.m._internalState;
    const unsigned long long memory = s.obj()->currentMemoryUse;
    EXPECT_MOVRA_ERROR(s.m.step(), "Negative integer in pmf support");
    s.sweep();
    EXPECT_EQ(s.m._internalState, state);
    EXPECT_EQ(s.obj()->currentMemoryUse, memory);

    Instance<SN> n;
    network(&n);
    n.m._internalState->elements[2] = jointPmf(n.obj(), {{{1, 0}, 1.0}});
    n.sweep();
    const std::vector<Pmf*> nodes(+n.m._internalState->elements, n.m._internalState->elements + 3);
    const Int time = n.m._time;
    const unsigned long long netMemory = n.obj()->currentMemoryUse;
    EXPECT_MOVRA_ERROR(n.m.step(), "Negative integer in pmf support");
    n.sweep();
    EXPECT_EQ(std::vector<Pmf*>(+n.m._internalState->elements, n.m._internalState->elements + 3),
              nodes);
    EXPECT_EQ(n.m._time, time);
    EXPECT_EQ(n.obj()->currentMemoryUse, netMemory);
}

}  // namespace
