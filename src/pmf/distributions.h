// Standard discrete distributions, each built as a new PMF in the instance's arena. Every
// value of a support range is stored, also where the probability underflows to 0; scratch
// tables are heap memory owned by ScratchBuffer and released within the call.
#pragma once
#include "../runtime/scratch.h"
#include "accumulator.h"
#include "pmf.h"

namespace movra {

Pmf* bernoulli(MovraObject* obj, Real p);
Pmf* binomial(MovraObject* obj, Int n, Real p);
// Simple PMF on offset .. offset + length - 1 for a length computed in 64 bits; one that
// no Int can hold goes to the arena anyway, which counts and refuses it like any other
// absurd block.
Pmf* allocateSupport(MovraObject* obj, int64_t offset, int64_t length);

// log(k) for k = 1, 2, ...: the logarithms of the binomial recursion, formed once per
// computation instead of twice per probability (the same bits: log is a function).
class IntegerLogs {
public:
    // Entries 1 .. n (entry 0 unused); grown geometrically, earlier entries kept. Small
    // tables come from one table of the process, formed on first use.
    const Real* upTo(Int n);

private:
    ScratchBuffer<Real> logs_;
    Int formed_ = 0;  // entries 1 .. formed_ hold log(k)
};

// p's part of binomial()'s recursion, formed once for many numbers of trials.
class BinomialRecursion {
public:
    explicit BinomialRecursion(Real p);
    // The probabilities binomial(obj, n, p) stores, in out[0 .. length) (out holds n + 1
    // entries); returns the value of out[0]. logs[k] = log(k) for k = 1 .. n.
    Int write(Int n, const Real* logs, Real* out, Int& length) const;
    // The same as a dense row: row[k] the probability of k for k = 0 .. n, 0 where
    // binomial() stores nothing.
    void writeRow(Int n, const Real* logs, Real* row) const;

private:
    Real p_, logQ_ = 0, logRatio_ = 0;
};

// Binomial(d, p) for d = 0 .. maxTrials as dense rows, kept per thread for the
// probabilities seen lately: a network's routings seldom change between steps, and each
// entry costs an exp(). log and exp are functions, so a table read back holds the bits
// BinomialRecursion writes. Tables of more than kMaxTrials trials are not kept.
class BinomialTables {
public:
    static constexpr Int kMaxTrials = 16;
    // d's d + 1 entries from d (d + 1) / 2 on, entry phi the probability of phi that
    // binomial() stores (0 for a phi it does not store); null when maxTrials exceeds
    // kMaxTrials or no memory is left for the table. Valid until the thread's next call.
    static const Real* of(Real p, Int maxTrials, IntegerLogs& logs);
    // This thread's tables, for a caller that reads many within one call: each lookup of
    // a thread-local object is a call into the dynamic loader. Out of line, so that the
    // compiler keeps the reference instead of computing the address again at each use.
    MOVRA_NOINLINE static BinomialTables& ofThisThread();
    // of(), from these tables (this thread's).
    const Real* find(Real p, Int maxTrials, IntegerLogs& logs);

protected:
    BinomialTables() = default;
};

// Binomial(d, p) for d = 0 .. maxTrials with one p, each formed on first use into
// scratch: the completions of a step that are routed to one destination.
class BinomialRuns {
public:
    BinomialRuns(Real p, Int maxTrials);
    // The same for another p: every distribution is formed anew on first use.
    void reset(Real p);
    const PmfRun& forTrials(Int d) {  // 0 <= d <= maxTrials
        return runs_.at(d, [this](int64_t n) { return form(Int(n)); });
    }

private:
    PmfRun form(Int d);
    Real p_;
    Int maxTrials_;
    bool tried_ = false;   // BinomialTables was asked since the last reset
    bool tabled_ = false;  // values_ holds its dense rows of every d
    BinomialRecursion recursion_;
    IntegerLogs logs_;
    ScratchBuffer<Real> values_;  // d's d + 1 entries from d * (d + 1) / 2 on
    RunCache runs_;               // d's run reads values_
};

}  // namespace movra
