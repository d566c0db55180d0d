// The fast kernels against the plain loop nests of models/station_reference: random
// configurations of both models, stepped with each, must agree to the last bit, in their
// PMFs and in their failures.
#include "models/station_reference.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "models/standard_multiserver.h"
#include "models/standard_network_multiserver.h"
#include "pmf/accumulator.h"
#include "pmf/joint_accumulator.h"
#include "test_support.h"

namespace {

using SN = StandardNetworkMultiserver;

class Random {
public:
    explicit Random(unsigned seed) : gen_(seed) {}
    std::mt19937& gen() { return gen_; }
    Int between(Int lo, Int hi) { return std::uniform_int_distribution<Int>(lo, hi)(gen_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(gen_); }
    // A weight that is 0 now and then, and now and then small enough for a tail cut.
    Real weight() {
        if (chance(0.2)) return 0.0;
        if (chance(0.05)) return 1e-9;
        return std::uniform_real_distribution<Real>(0.01, 1.0)(gen_);
    }
    // A normalised PMF over some of lo .. hi (never empty).
    Pmf* simple(MovraObject* obj, Int lo, Int hi) {
        SimpleAccumulator acc(obj);
        for (Int v = lo; v <= hi; v++) acc.putSingle(weight(), v);
        acc.putSingle(0.5, between(lo, hi));
        return acc.toPmf();
    }
    // A joint state over z in 0 .. zMax, ell in 1 .. 4, now and then with a remaining time
    // far above the others (rows whose values lie far apart); rarely ell = 0 with z > 0,
    // which a step must refuse.
    Pmf* state(MovraObject* obj, Int zMax) {
        JointAccumulator acc(obj, 2);
        for (Int z = 0; z <= zMax; z++) {
            if (!(weight() > 0)) continue;
            for (Int ell = 1; ell <= 4; ell++) acc.putDouble(weight(), z, ell);
            acc.putDouble(0.5, z, between(1, 4));
            if (chance(0.05)) acc.putDouble(0.2, z, between(200, 5000));
            if (z > 0 && chance(0.01)) acc.putDouble(0.1, z, 0);
        }
        acc.putDouble(0.5, between(0, zMax), 1);
        return acc.toPmf();
    }

private:
    std::mt19937 gen_;
};

// The result of f, or the message it failed with.
template <class F>
std::string outcome(F&& f, Pmf*& result) {
    result = nullptr;
    try {
        result = f();
    } catch (const CException& e) {
        return e.message;
    }
    return "";
}

TEST(StationReference, KernelsGiveTheReferenceBits) {
    Random rnd(20);
    int compared = 0;
    for (int config = 0; config < 150; config++) {
        Instance<StandardMultiserver> inst;
        StandardMultiserver& m = inst.m;
        MovraObject* obj = inst.obj();
        m._numberOfServers = rnd.between(0, 3);
        m._numberOfArrivalsPmf = rnd.simple(obj, 0, rnd.between(0, 4));
        m._serviceDurationPmf = rnd.simple(obj, 1, rnd.between(1, 4));
        m._internalState = rnd.state(obj, rnd.between(0, 6));
        for (int s = 0; s < 6; s++) {
            const reference::Station station{obj,
                                             m._internalState,
                                             m._numberOfServers,
                                             m._numberOfArrivalsPmf,
                                             m._serviceDurationPmf,
                                             0.0};
            Pmf *expected, *partial, *kernelPartial;
            const std::string failure = outcome([&] { return reference::step(station); }, expected);
            const std::string partialFailure =
                outcome([&] { return reference::partialMap(station); }, partial);
            ASSERT_EQ(outcome([&] { return m.partialMovraMap(); }, kernelPartial), partialFailure);
            if (partialFailure.empty()) {
                ASSERT_TRUE(samePmf(kernelPartial, partial));
            }
            Pmf* got;
            ASSERT_EQ(outcome(
                          [&] {
                              m.step();
                              return m._internalState;
                          },
                          got),
                      failure)
                << "configuration " << config << ", step " << s;
            if (!failure.empty()) break;
            ASSERT_TRUE(samePmf(got, expected)) << "configuration " << config << ", step " << s;
            compared++;
            inst.sweep();
        }
    }
    EXPECT_GT(compared, 500);
}

// ell = 0 at a z of tiny weight far above the others: its relabel would fail, but its
// outcomes all lie beyond the right tail, so no kept row needs it and the step succeeds.
TEST(StationReference, ARelabelOnlyBeyondTheTailsIsNeverFormed) {
    Instance<StandardMultiserver> inst;
    StandardMultiserver& m = inst.m;
    MovraObject* obj = inst.obj();
    SimpleAccumulator arrivals(obj), service(obj);
    arrivals.putSingle(0.5, 0);
    arrivals.putSingle(0.5, 1);
    service.putSingle(1.0, 2);
    JointAccumulator state(obj, 2);
    state.putDouble(0.5, 1, 1);
    state.putDouble(0.5, 2, 2);
    state.putDouble(1e-12, 40, 0);
    state.putDouble(1e-12, 40, 2);
    m._numberOfServers = 1;
    m._numberOfArrivalsPmf = arrivals.toPmf();
    m._serviceDurationPmf = service.toPmf();
    m._internalState = state.toPmf();
    Pmf* expected = reference::step(reference::Station{
        obj, m._internalState, 1, m._numberOfArrivalsPmf, m._serviceDurationPmf, 0.0});
    m.step();
    EXPECT_TRUE(samePmf(m._internalState, expected));
}

TEST(StationReference, NetworkKernelsGiveTheReferenceBits) {
    Random rnd(18);
    int compared = 0;
    for (int config = 0; config < 120; config++) {
        Instance<SN> inst;
        SN& m = inst.m;
        MovraObject* obj = inst.obj();
        const Int n = rnd.between(1, 3);
        m.init(n);
        std::vector<Int> servers(n);
        std::vector<Pmf*> arrivals(n), service(n);
        std::vector<Real> routing(size_t(n) * n);
        for (Int k = 0; k < n; k++) {
            m.setNumberOfServersAtNode(k, servers[k] = rnd.between(0, 2));
            m.setNumberOfExternalArrivalsAtNodePmf(
                k, arrivals[k] = rnd.simple(obj, 0, rnd.between(0, 2)));
            m.setServiceDurationAtNodePmf(k, service[k] = rnd.simple(obj, 1, rnd.between(1, 3)));
            m._internalState->elements[k] = rnd.state(obj, rnd.between(0, 4));
            // A row of weights scaled to sum to at most 1 (or, rarely, a little more).
            std::vector<Real> row(n);
            Real sum = 0;
            for (Real& r : row) sum += (r = rnd.weight());
            const Real scale =
                rnd.chance(0.05) ? 1.01 : std::uniform_real_distribution<Real>(0, 1)(rnd.gen());
            for (Int t = 0; t < n; t++) {
                const Real r = sum > 0 ? std::min(1.0, row[t] / sum * scale) : 0.0;
                routing[size_t(k) * n + t] = r;
                m.setRoutingProbability(k, t, r);
            }
        }
        for (int s = 0; s < 4; s++) {
            std::vector<Pmf*> state(+m._internalState->elements, m._internalState->elements + n);
            for (Int src = 0; src < n; src++)
                for (Int t = 0; t < n; t++) {
                    Pmf *expected, *got;
                    const std::string failure = outcome(
                        [&] {
                            return reference::flow(obj, state[src], servers[src],
                                                   routing[size_t(src) * n + t]);
                        },
                        expected);
                    ASSERT_EQ(outcome([&] { return m.flow(src, t); }, got), failure);
                    if (failure.empty()) {
                        ASSERT_TRUE(samePmf(got, expected));
                    }
                }
            std::vector<Pmf*> expected(n);
            const reference::Network net{
                obj,           n, state.data(), servers.data(), arrivals.data(), service.data(),
                routing.data()};
            Pmf* ignored;
            const std::string failure = outcome(
                [&] {
                    reference::step(net, expected.data());
                    return nullptr;
                },
                ignored);
            ASSERT_EQ(outcome(
                          [&] {
                              m.step();
                              return nullptr;
                          },
                          ignored),
                      failure)
                << "configuration " << config << ", step " << s;
            if (!failure.empty()) break;
            for (Int k = 0; k < n; k++)
                ASSERT_TRUE(samePmf(m._internalState->elements[k], expected[k]))
                    << "configuration " << config << ", step " << s << ", node " << k;
            compared++;
            inst.sweep();
        }
    }
    EXPECT_GT(compared, 300);
}

}  // namespace
