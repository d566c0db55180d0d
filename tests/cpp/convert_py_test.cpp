// Conversions between model values and Python objects, called directly under an embedded
// interpreter: the forms no model reaches from Python (Boolean, arrays and matrices of every
// element type, interface values, compound PMFs out), the nesting limit, reference counts
// of inputs and results, and that a refusal never leaves a Python error pending.
#include <Python.h>
#include <cmath>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "binding/convert.h"
#include "binding/protocol.h"
#include "param_name.h"
#include "pmf/joint_accumulator.h"
#include "runtime/arena.h"
#include "runtime/error.h"
#include "runtime/messages.h"

using namespace movra;

namespace {

const char* const kHelpers = R"(
class IntSub(int): pass
class FloatSub(float):
    def __float__(self): return 9.0
class StrSub(str): pass
class ListSub(list): pass
class DictSub(dict):
    # The conversions read the dictionary's storage; none of this may run.
    def __iter__(self): raise RuntimeError("iterated")
    def items(self): raise RuntimeError("iterated")
    def keys(self): raise RuntimeError("iterated")
class Index:
    def __init__(self, v): self.v = v
    def __index__(self): return self.v
class Raising:
    def __index__(self): raise ValueError("refused")
class IndexFloat:
    def __index__(self): return 1.5
class Shrinker:
    def __init__(self, victim): self.victim = victim
    def __index__(self):
        self.victim.clear()
        return 1
class Grower:
    def __init__(self, victim): self.victim = victim
    def __index__(self):
        self.victim.append(0)
        return 1
def with_first(make, rest):
    l = [None] + rest
    l[0] = make(l)
    return l
def nest(n, inner):
    for _ in range(n):
        inner = (inner,)
    return inner
def same(a, b):
    # Equal, with the same types, tuple nesting and dictionary insertion order.
    if type(b) is tuple:
        return type(a) is tuple and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(b) is list:
        return type(a) is list and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(b) is dict:
        return type(a) is dict and list(a.items()) == list(b.items()) and all(
            type(k) is type(l) and type(v) is type(w)
            for (k, v), (l, w) in zip(a.items(), b.items()))
    return type(a) is type(b) and a == b
)";

PyObject* globals() { return PyModule_GetDict(PyImport_AddModule("__main__")); }

// A new reference to the value of a Python expression; a broken expression fails the test.
PyRef py(const std::string& expr) {
    PyObject* r = PyRun_String(expr.c_str(), Py_eval_input, globals(), globals());
    if (r == nullptr) {
        PyErr_Print();
        throw std::runtime_error("cannot evaluate " + expr);
    }
    return PyRef(r);
}

// True when `value` equals the expression in type, nesting and key order.
bool same(PyObject* value, const std::string& expected) {
    PyRef fn = PyRef::newReferenceTo(PyDict_GetItemString(globals(), "same"));
    PyRef want = py(expected);
    PyRef r(PyObject_CallFunctionObjArgs(fn.get(), value, want.get(), nullptr));
    if (r.get() == nullptr) throw std::runtime_error("same() failed");
    return r.get() == Py_True;
}

std::string repr(PyObject* o) {
    PyRef r(PyObject_Repr(o));
    return r.get() ? PyUnicode_AsUTF8(r.get()) : "<repr failed>";
}

Py_ssize_t allocatedBlocks() {
    PyRef n = py("__import__('gc').collect() and 0 or __import__('sys').getallocatedblocks()");
    return PyLong_AsSsize_t(n.get());
}

// Objects the interpreter allocates statically (small ints, one-character strings) start
// near a billion references and are shared by all code, so their counts say nothing.
bool isShared(PyObject* o) { return Py_REFCNT(o) > 100000000 || o == Py_None; }

// Reference counts of an object and of the items, keys and values it holds directly; the
// conversions must give every one of them back as they found it.
class RefWatch {
public:
    explicit RefWatch(PyObject* o) { watch(o, 2); }
    void check() const {
        for (const auto& w : seen_) EXPECT_EQ(Py_REFCNT(w.first), w.second) << repr(w.first);
    }

private:
    void watch(PyObject* o, int levels) {
        if (!isShared(o)) seen_.emplace_back(o, Py_REFCNT(o));
        if (--levels == 0) return;
        if (PyList_Check(o) || PyTuple_Check(o)) {
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o) && i < 64; i++)
                watch(PySequence_Fast_ITEMS(o)[i], levels);
        } else if (PyDict_Check(o)) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(o, &pos, &k, &v) && pos < 64) {
                watch(k, levels);
                watch(v, levels);
            }
        }
    }
    std::vector<std::pair<PyObject*, Py_ssize_t>> seen_;
};

#define EXPECT_REFUSED(statement, text)                                            \
    do {                                                                           \
        try {                                                                      \
            (void)(statement);                                                     \
            ADD_FAILURE() << "no CException from " #statement;                     \
        } catch (const CException& e) {                                            \
            EXPECT_STREQ(e.message, text) << #statement;                           \
        } catch (const PythonError&) {                                             \
            ADD_FAILURE() << "PythonError from " #statement;                       \
        }                                                                          \
        EXPECT_EQ(PyErr_Occurred(), nullptr) << "error pending after " #statement; \
        PyErr_Clear();                                                             \
    } while (0)

class ConvertTest : public ::testing::Test {
protected:
    MovraObject obj{};
    void TearDown() override {
        release(&obj);
        EXPECT_EQ(obj.memList, nullptr);
        EXPECT_EQ(PyErr_Occurred(), nullptr);
        PyErr_Clear();
    }

    Pmf* simple(Int offset, std::vector<Real> p) {
        Pmf* pmf = allocateSimplePmf(&obj, offset, Int(p.size()));
        for (size_t k = 0; k < p.size(); k++) pmf->simple.elements[k] = p[k];
        return pmf;
    }
    Pmf* joint(Pmf* marginal, std::vector<Pmf*> conditionals) {
        Pmf* pmf = allocateJointPmf(&obj, marginal, 2);
        for (size_t k = 0; k < conditionals.size(); k++) pmf->joint.elements[k] = conditionals[k];
        return pmf;
    }
    // The result of a _toPy conversion: a new reference equal to expected, which nobody
    // else holds unless the interpreter shares such values.
    void expectNew(PyObject* result, const std::string& expected) {
        ASSERT_NE(result, nullptr);
        PyRef owned(result);
        if (!isShared(result) && !(PyTuple_Check(result) && PyTuple_GET_SIZE(result) == 0)) {
            EXPECT_EQ(Py_REFCNT(result), 1);
        }
        EXPECT_TRUE(same(result, expected)) << repr(result) << " != " << expected;
    }
};

// ---- Numbers --------------------------------------------------------------------------

struct IntCase {
    const char* expr;
    Int expected;
};
class IntFromPy : public ConvertTest, public ::testing::WithParamInterface<IntCase> {};

TEST_P(IntFromPy, KeepsTheLow32Bits) {
    PyRef v = py(GetParam().expr);
    RefWatch watch(v.get());
    EXPECT_EQ(Int_fromPy(&obj, v.get()), GetParam().expected);
    watch.check();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntFromPy,
    ::testing::Values(IntCase{"5", 5}, IntCase{"-1", -1}, IntCase{"True", 1}, IntCase{"False", 0},
                      IntCase{"IntSub(7)", 7}, IntCase{"2**32 + 5", 5}, IntCase{"2**31", INT32_MIN},
                      IntCase{"2**31 - 1", INT32_MAX}, IntCase{"2**63 - 1", -1},
                      IntCase{"-2**63", 0}, IntCase{"-2**31 - 1", INT32_MAX}),
    [](const ::testing::TestParamInfo<IntCase>& info) { return paramName(info.param.expr); });

struct RealCase {
    const char* expr;
    Real expected;
};
class RealFromPy : public ConvertTest, public ::testing::WithParamInterface<RealCase> {};

TEST_P(RealFromPy, FloatFirstThenInt) {
    PyRef v = py(GetParam().expr);
    RefWatch watch(v.get());
    Real got = Real_fromPy(&obj, v.get());
    if (std::isnan(GetParam().expected))
        EXPECT_TRUE(std::isnan(got));
    else
        EXPECT_EQ(got, GetParam().expected);
    EXPECT_EQ(std::signbit(got), std::signbit(GetParam().expected));
    watch.check();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RealFromPy,
    ::testing::Values(RealCase{"0.25", 0.25}, RealCase{"-0.0", -0.0}, RealCase{"True", 1.0},
                      RealCase{"3", 3.0}, RealCase{"IntSub(2)", 2.0},
                      // The stored double, not what __float__ says.
                      RealCase{"FloatSub(0.5)", 0.5}, RealCase{"2**53 + 1", 9007199254740992.0},
                      RealCase{"-2**1023", -std::ldexp(1.0, 1023)},
                      RealCase{"float('inf')", INFINITY}, RealCase{"float('nan')", NAN}),
    [](const ::testing::TestParamInfo<RealCase>& info) { return paramName(info.param.expr); });

struct BooleanCase {
    const char* expr;
    Boolean expected;
};
class BooleanFromPy : public ConvertTest, public ::testing::WithParamInterface<BooleanCase> {};

TEST_P(BooleanFromPy, NonZeroIsTrue) {
    PyRef v = py(GetParam().expr);
    RefWatch watch(v.get());
    EXPECT_EQ(Boolean_fromPy(&obj, v.get()), GetParam().expected);
    watch.check();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BooleanFromPy,
    ::testing::Values(BooleanCase{"0", false}, BooleanCase{"1", true}, BooleanCase{"-1", true},
                      BooleanCase{"2**32", true}, BooleanCase{"-2**63", true},
                      BooleanCase{"True", true}, BooleanCase{"False", false},
                      BooleanCase{"IntSub(0)", false}, BooleanCase{"Index(0)", false},
                      BooleanCase{"Index(2**40)", true}),
    [](const ::testing::TestParamInfo<BooleanCase>& info) { return paramName(info.param.expr); });

struct Refusal {
    const char* expr;
    const char* message;
};

TEST_F(ConvertTest, NumbersRefusedWithTheInterpreterErrorCleared) {
    const std::vector<const char*> notInt = {"1.5",      "1.0",   "'1'",        "None",
                                             "Index(3)", "2**63", "-2**63 - 1", "2**200"};
    for (const char* e : notInt) {
        SCOPED_TRACE(e);
        PyRef v = py(e);
        RefWatch watch(v.get());
        EXPECT_REFUSED(Int_fromPy(&obj, v.get()), msg::InvalidValue);
        watch.check();
    }
    const std::vector<const char*> notReal = {"'0.5'",   "None",        "0.5j",    "Index(1)",
                                              "2**1024", "2**1024 - 1", "-2**1024"};
    for (const char* e : notReal) {
        SCOPED_TRACE(e);
        PyRef v = py(e);
        RefWatch watch(v.get());
        EXPECT_REFUSED(Real_fromPy(&obj, v.get()), msg::InvalidValue);
        watch.check();
    }
    const std::vector<const char*> notBoolean = {"2**64", "-2**63 - 1", "1.5",          "'1'",
                                                 "None",  "Raising()",  "IndexFloat()", "[]"};
    for (const char* e : notBoolean) {
        SCOPED_TRACE(e);
        PyRef v = py(e);
        RefWatch watch(v.get());
        EXPECT_REFUSED(Boolean_fromPy(&obj, v.get()), msg::InvalidValue);
        watch.check();
    }
}

TEST_F(ConvertTest, NumbersToPy) {
    expectNew(Int_toPy(&obj, INT32_MIN), "-2**31");
    expectNew(Int_toPy(&obj, INT32_MAX), "2**31 - 1");
    expectNew(Real_toPy(&obj, 0.1), "0.1");
    expectNew(Real_toPy(&obj, -INFINITY), "float('-inf')");
    PyRef negativeZero(Real_toPy(&obj, -0.0));
    EXPECT_TRUE(std::signbit(PyFloat_AsDouble(negativeZero.get())));
    PyRef nan(Real_toPy(&obj, NAN));
    EXPECT_TRUE(std::isnan(PyFloat_AsDouble(nan.get())));
    // The bool singletons: a new reference each time.
    Py_ssize_t before = Py_REFCNT(Py_True);
    PyRef t(Boolean_toPy(&obj, true)), f(Boolean_toPy(&obj, false));
    EXPECT_EQ(t.get(), Py_True);
    EXPECT_EQ(f.get(), Py_False);
    EXPECT_EQ(Py_REFCNT(Py_True), before + 1);
}

// ---- PMFs from Python -----------------------------------------------------------------

TEST_F(ConvertTest, CompoundRecordFromPython) {
    PyRef c = py("({0: 1.0}, {(0, 1, 2): 0.5, (0, 1, 3): 0.5}, ({5: 1.0},))");
    Pmf* k = Pmf_fromPy(&obj, c.get());
    ASSERT_EQ(k->pmfType, COMPOUND);
    ASSERT_EQ(k->compound.length, 3);
    EXPECT_EQ(k->compound.elements[0]->pmfType, SIMPLE);
    EXPECT_EQ(k->compound.elements[1]->pmfType, JOINT);
    EXPECT_EQ(k->compound.elements[1]->joint.depth, 3);
    ASSERT_EQ(k->compound.elements[2]->pmfType, COMPOUND);
    EXPECT_EQ(k->compound.elements[2]->compound.elements[0]->simple.offset, 5);
}

class PmfRoundTrip : public ConvertTest,
                     public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(PmfRoundTrip, BackInOrder) {
    PyRef in = py(GetParam().first);
    RefWatch watch(in.get());
    Pmf* pmf = Pmf_fromPy(&obj, in.get());
    watch.check();
    expectNew(Pmf_toPy(&obj, pmf), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PmfRoundTrip,
    ::testing::Values(std::make_pair("{5: 0.25, 1: 0.25, 3: 0.5}", "{1: 0.25, 3: 0.5, 5: 0.25}"),
                      std::make_pair("{0: 1, 2: 3}", "{0: 0.5, 2: 0.5}"),
                      std::make_pair("{0: float('inf'), 1: 1.0}", "{0: 0.5, 1: 0.5}"),
                      std::make_pair("DictSub({3: 1.0})", "{3: 1.0}"),
                      std::make_pair("{(1, 0): 0.5, (0, 1): 0.5}", "{(0, 1): 0.5, (1, 0): 0.5}"),
                      std::make_pair("{(0, 1, 3): 0.5, (0, 1, 2): 0.5}",
                                     "{(0, 1, 2): 0.5, (0, 1, 3): 0.5}"),
                      std::make_pair("DictSub({(0, 1): 0.5, 3: 0.0})", "{(0, 1): 1.0}"),
                      std::make_pair("({0: 1.0}, {1: 1.0})", "({0: 1.0}, {1: 1.0})"),
                      std::make_pair("({(2, 2): 1.0}, ({0: 0.5, 1: 0.5}, {4: 1.0}))",
                                     "({(2, 2): 1.0}, ({0: 0.5, 1: 0.5}, {4: 1.0}))")),
    [](const ::testing::TestParamInfo<std::pair<const char*, const char*>>& info) {
        return paramName(info.param.first);
    });

class PmfRefused : public ConvertTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(PmfRefused, WithItsMessage) {
    PyRef in = py(GetParam().expr);
    RefWatch watch(in.get());
    EXPECT_REFUSED(Pmf_fromPy(&obj, in.get()), GetParam().message);
    watch.check();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PmfRefused,
    ::testing::Values(Refusal{"{}", msg::EmptyDictionary}, Refusal{"{0: 0.0}", msg::EmptyPmf},
                      Refusal{"{-1: 1.0}", msg::NegativeInSupport},
                      Refusal{"{(-1, 2): 1.0}", msg::NegativeSample},
                      Refusal{"{(0, 1): 0.5, 3: 0.5}", msg::InvalidValue},
                      Refusal{"{(): 1.0}", msg::InvalidValue},
                      Refusal{"{(1,): 0.0, (2,): 0.5}", msg::InvalidValue},
                      Refusal{"{0: float('nan')}", msg::InvalidValue},
                      Refusal{"{(0, 0): float('nan')}", msg::InvalidValue},
                      Refusal{"{0: 2**1024}", msg::InvalidValue},
                      Refusal{"{2**64: 1.0}", msg::InvalidValue},
                      Refusal{"{0.0: 1.0}", msg::InvalidValue},
                      Refusal{"[{0: 1.0}]", msg::InvalidValue}, Refusal{"None", msg::InvalidValue},
                      Refusal{"({0: 1.0}, 5)", msg::InvalidValue},
                      Refusal{"({0: 1.0}, {})", msg::EmptyDictionary},
                      Refusal{"({0: 1.0}, ({0: 0.0},))", msg::EmptyPmf},
                      Refusal{"{0: 0.5, 2**31 - 1: 0.5}", msg::OutOfMemory},
                      Refusal{"{(0, 0): 0.5, (2**31 - 1, 0): 0.5}", msg::OutOfMemory}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return paramName(info.param.expr); });

// The limit holds for compound tuples and for the items of a joint key; a refusal of input
// far beyond it must come before any recursion could exhaust the stack.
TEST_F(ConvertTest, NestingLimit) {
    const std::string limit = std::to_string(kMaxPmfDepth);
    PyRef deepest = py("nest(" + limit + ", {7: 1.0})");
    Pmf* p = Pmf_fromPy(&obj, deepest.get());
    for (int i = 0; i < kMaxPmfDepth; i++) {
        ASSERT_EQ(p->pmfType, COMPOUND);
        ASSERT_EQ(p->compound.length, 1);
        p = p->compound.elements[0];
    }
    EXPECT_EQ(p->pmfType, SIMPLE);
    expectNew(Pmf_toPy(&obj, Pmf_fromPy(&obj, deepest.get())), "nest(" + limit + ", {7: 1.0})");

    PyRef longest = py("{tuple(range(" + limit + ")): 1.0}");
    Pmf* j = Pmf_fromPy(&obj, longest.get());
    EXPECT_EQ(j->joint.depth, kMaxPmfDepth);
    expectNew(Pmf_toPy(&obj, j), "{tuple(range(" + limit + ")): 1.0}");

    const std::string over = std::to_string(kMaxPmfDepth + 1);
    for (const std::string& e :
         {"nest(" + over + ", {7: 1.0})", "{tuple(range(" + over + ")): 1.0}",
          std::string("nest(10**6, {0: 1.0})"), std::string("{tuple(range(10**6)): 1.0}"),
          std::string("{(0, 1): 1.0, tuple(range(10**6)): 1.0}")}) {
        SCOPED_TRACE(e.substr(0, 40));
        PyRef in = py(e);
        EXPECT_REFUSED(Pmf_fromPy(&obj, in.get()), msg::InvalidValue);
    }
}

// ---- put_fromPy -----------------------------------------------------

TEST_F(ConvertTest, JointPutFromPython) {
    JointAccumulator viaPy(&obj, 2), viaInts(&obj, 2);
    PyRef key = py("(2, 5)");
    put_fromPy(&viaPy, 0.7, key.get());
    viaInts.putDouble(0.7, 2, 5);
    expectNew(Pmf_toPy(&obj, viaPy.toPmf()), "{(2, 5): 1.0}");
    expectNew(Pmf_toPy(&obj, viaInts.toPmf()), "{(2, 5): 1.0}");

    // No weight, nothing looked at.
    put_fromPy(&viaPy, 0.0, Py_None);
    put_fromPy(&viaPy, -1.0, Py_None);
    for (const char* e : {"[2, 5]", "(2, 5, 1)", "(2,)", "(2, 'x')", "(2.0, 5)"}) {
        SCOPED_TRACE(e);
        PyRef bad = py(e);
        EXPECT_REFUSED(put_fromPy(&viaPy, 0.5, bad.get()), msg::InvalidValue);
    }
    // The failed puts widened the window to 2 only; weights above 1 count as 1.
    PyRef other = py("(0, 1)");
    put_fromPy(&viaPy, 4.0, other.get());
    expectNew(Pmf_toPy(&obj, viaPy.toPmf()), "{(0, 1): 1 / 1.7, (2, 5): 0.7 / 1.7}");

    JointAccumulator depthOne(&obj, 1);
    PyRef one = py("(3,)");
    EXPECT_REFUSED(put_fromPy(&depthOne, 0.5, one.get()), msg::Internal);
}

// ---- PMFs to Python -------------------------------------------------------------------

TEST_F(ConvertTest, PmfToPyWalksPositiveOutcomesInOrder) {
    expectNew(Pmf_toPy(&obj, simple(3, {0.5, 0.0, 0.5})), "{3: 0.5, 5: 0.5}");
    expectNew(Pmf_toPy(&obj, simple(0, {})), "{}");
    expectNew(Pmf_toPy(&obj, allocateEmptyJointPmf(&obj, 2)), "{}");
    // Probabilities are the products along the path; a null conditional at a zero
    // marginal value is skipped.
    Pmf* j = joint(simple(1, {0.5, 0.0, 0.5}), {simple(3, {0.5, 0.5}), nullptr, simple(0, {1.0})});
    expectNew(Pmf_toPy(&obj, j), "{(1, 3): 0.25, (1, 4): 0.25, (3, 0): 0.5}");
    // A shared record gives two separate dictionaries.
    Pmf* s = simple(0, {1.0});
    expectNew(Pmf_toPy(&obj, createCompoundPmf(&obj, 2, s, j)),
              "({0: 1.0}, {(1, 3): 0.25, (1, 4): 0.25, (3, 0): 0.5})");
    expectNew(Pmf_toPy(&obj, createCompoundPmf(&obj, 3, s, s, createCompoundPmf(&obj, 0))),
              "({0: 1.0}, {0: 1.0}, ())");
    PyRef twice(Pmf_toPy(&obj, createCompoundPmf(&obj, 2, s, s)));
    EXPECT_NE(PyTuple_GET_ITEM(twice.get(), 0), PyTuple_GET_ITEM(twice.get(), 1));
    EXPECT_EQ(Py_REFCNT(PyTuple_GET_ITEM(twice.get(), 0)), 1);
}

TEST_F(ConvertTest, PmfToPyFailureFreesWhatItBuilt) {
    // A positive marginal value without its conditional cannot be walked.
    Pmf* broken = joint(simple(0, {0.5, 0.5}), {simple(0, {1.0}), nullptr});
    Pmf* compound = createCompoundPmf(&obj, 2, simple(0, {1.0}), broken);
    Pmf* compoundInside = joint(simple(0, {1.0}), {createCompoundPmf(&obj, 1, simple(0, {1.0}))});
    EXPECT_REFUSED(Pmf_toPy(&obj, broken), msg::Internal);
    Py_ssize_t blocks = allocatedBlocks();
    for (int i = 0; i < 1000; i++) {
        EXPECT_REFUSED(Pmf_toPy(&obj, broken), msg::Internal);
        EXPECT_REFUSED(Pmf_toPy(&obj, compound), msg::Internal);
        EXPECT_REFUSED(Pmf_toPy(&obj, compoundInside), msg::Internal);
    }
    EXPECT_LT(allocatedBlocks() - blocks, 50);
}

// ---- Arrays and matrices --------------------------------------------------------------

TEST_F(ConvertTest, ArraysRoundTrip) {
    PyRef ints = py("[1, 2**32 + 2, True, IntSub(-4)]");
    RefWatch wi(ints.get());
    IntArray* ia = IntArray_fromPy(&obj, ints.get());
    wi.check();
    ASSERT_EQ(ia->length, 4);
    EXPECT_EQ(std::vector<Int>(+ia->elements, ia->elements + 4), (std::vector<Int>{1, 2, 1, -4}));
    expectNew(IntArray_toPy(&obj, ia), "[1, 2, 1, -4]");

    PyRef reals = py("ListSub([0.5, 1, True, FloatSub(-0.0)])");
    RefWatch wr(reals.get());
    RealArray* ra = RealArray_fromPy(&obj, reals.get());
    wr.check();
    ASSERT_EQ(ra->length, 4);
    EXPECT_TRUE(std::signbit(ra->elements[3]));
    expectNew(RealArray_toPy(&obj, ra), "[0.5, 1.0, 1.0, -0.0]");

    PyRef bools = py("[0, 1, -1, 2**32, Index(0), True]");
    RefWatch wb(bools.get());
    BooleanArray* ba = BooleanArray_fromPy(&obj, bools.get());
    wb.check();
    ASSERT_EQ(ba->length, 6);
    expectNew(BooleanArray_toPy(&obj, ba), "[False, True, True, True, False, True]");

    // No shape check: any PMF kind may sit in any slot.
    PyRef pmfs = py("[{0: 1.0}, {(0, 1): 1.0}, ({2: 1.0},)]");
    RefWatch wp(pmfs.get());
    PmfArray* pa = PmfArray_fromPy(&obj, pmfs.get());
    wp.check();
    ASSERT_EQ(pa->length, 3);
    EXPECT_EQ(pa->elements[2]->pmfType, COMPOUND);
    expectNew(PmfArray_toPy(&obj, pa), "[{0: 1.0}, {(0, 1): 1.0}, ({2: 1.0},)]");
}

TEST_F(ConvertTest, MatricesRoundTrip) {
    PyRef ints = py("[[1], [2, 3]]");
    RefWatch wi(ints.get());
    IntMatrix* im = IntMatrix_fromPy(&obj, ints.get());
    wi.check();
    ASSERT_EQ(im->length, 2);
    EXPECT_EQ(im->elements[0]->length, 1);
    EXPECT_EQ(im->elements[1]->length, 2);
    expectNew(IntMatrix_toPy(&obj, im), "[[1], [2, 3]]");

    PyRef reals = py("[[0.5, 2], [True]]");
    expectNew(RealMatrix_toPy(&obj, RealMatrix_fromPy(&obj, reals.get())), "[[0.5, 2.0], [1.0]]");
    PyRef bools = py("ListSub([ListSub([0, 5]), [Index(1)]])");
    expectNew(BooleanMatrix_toPy(&obj, BooleanMatrix_fromPy(&obj, bools.get())),
              "[[False, True], [True]]");
    PyRef pmfs = py("[[{0: 1.0}], [{(1, 1): 2.0}, ({3: 1.0},)]]");
    expectNew(PmfMatrix_toPy(&obj, PmfMatrix_fromPy(&obj, pmfs.get())),
              "[[{0: 1.0}], [{(1, 1): 1.0}, ({3: 1.0},)]]");
}

// Every list conversion, the interface forms with signature 0.
struct ListConversion {
    const char* name;
    bool matrix;
    void (*convert)(MovraObject*, PyObject*);
};
const ListConversion kListConversions[] = {
    {"IntArray", false, [](MovraObject* o, PyObject* v) { IntArray_fromPy(o, v); }},
    {"RealArray", false, [](MovraObject* o, PyObject* v) { RealArray_fromPy(o, v); }},
    {"BooleanArray", false, [](MovraObject* o, PyObject* v) { BooleanArray_fromPy(o, v); }},
    {"PmfArray", false, [](MovraObject* o, PyObject* v) { PmfArray_fromPy(o, v); }},
    {"InterfaceArray", false, [](MovraObject* o, PyObject* v) { InterfaceArray_fromPy(o, v, 0); }},
    {"IntMatrix", true, [](MovraObject* o, PyObject* v) { IntMatrix_fromPy(o, v); }},
    {"RealMatrix", true, [](MovraObject* o, PyObject* v) { RealMatrix_fromPy(o, v); }},
    {"BooleanMatrix", true, [](MovraObject* o, PyObject* v) { BooleanMatrix_fromPy(o, v); }},
    {"PmfMatrix", true, [](MovraObject* o, PyObject* v) { PmfMatrix_fromPy(o, v); }},
    {"InterfaceMatrix", true, [](MovraObject* o, PyObject* v) { InterfaceMatrix_fromPy(o, v, 0); }},
};

TEST_F(ConvertTest, ListShapesRefusedByEveryArrayAndMatrix) {
    // A known name, so that only the shape can be at fault.
    static const char* names[] = {"alpha"};
    static void* pointers[] = {&names};
    static Int signatures[] = {0};
    obj.functionCount = 1;
    obj.functionPointers = pointers;
    obj.functionNames = names;
    obj.functionSignatureIndexes = signatures;
    const char* const notLists[] = {"[]",   "()",      "('alpha',)", "{0: 1.0}",
                                    "None", "'alpha'", "ListSub()"};
    const char* const badRows[] = {"[[]]", "[[1], []]", "[1]", "[(1,)]", "[[1], None]"};
    for (const ListConversion& c : kListConversions) {
        for (const char* e : notLists) {
            SCOPED_TRACE(std::string(c.name) + " " + e);
            PyRef v = py(e);
            RefWatch watch(v.get());
            EXPECT_REFUSED(c.convert(&obj, v.get()), msg::InvalidValue);
            watch.check();
        }
        if (!c.matrix) continue;
        for (const char* e : badRows) {
            SCOPED_TRACE(std::string(c.name) + " " + e);
            PyRef v = py(e);
            RefWatch watch(v.get());
            EXPECT_REFUSED(c.convert(&obj, v.get()), msg::InvalidValue);
            watch.check();
        }
    }
}

// An element refused in an array is refused in a matrix row too, with the same message.
TEST_F(ConvertTest, ElementRefusals) {
    struct Case {
        const char* expr;
        const char* message;
        size_t conversion;  // index of the array form in kListConversions
    };
    for (const Case& c :
         {Case{"[1, 1.5]", msg::InvalidValue, 0}, Case{"[1, 2**63]", msg::InvalidValue, 0},
          Case{"[0.5, None]", msg::InvalidValue, 1}, Case{"[0.5, 2**1024]", msg::InvalidValue, 1},
          Case{"[1, Raising()]", msg::InvalidValue, 2}, Case{"[2**64]", msg::InvalidValue, 2},
          Case{"[{0: 1.0}, {}]", msg::EmptyDictionary, 3},
          Case{"[{0: 1.0}, {0: 0.0}]", msg::EmptyPmf, 3},
          Case{"[{0: 1.0}, 0.5]", msg::InvalidValue, 3}}) {
        SCOPED_TRACE(c.expr);
        PyRef v = py(c.expr);
        PyRef matrix = py(std::string("[[0], ") + c.expr + "]");
        RefWatch watch(v.get());
        EXPECT_REFUSED(kListConversions[c.conversion].convert(&obj, v.get()), c.message);
        if (c.conversion != 3)  // a PMF row cannot start with [0]
            EXPECT_REFUSED(kListConversions[c.conversion + 5].convert(&obj, matrix.get()),
                           c.message);
        watch.check();
    }
}

// __index__ runs Python code in the middle of a list conversion; it may change the list.
TEST_F(ConvertTest, ListChangedDuringConversion) {
    PyRef shrinking = py("with_first(Shrinker, [1, 1])");
    EXPECT_REFUSED(BooleanArray_fromPy(&obj, shrinking.get()), msg::InvalidValue);
    PyRef growing = py("with_first(Grower, [1, 0])");
    BooleanArray* a = BooleanArray_fromPy(&obj, growing.get());
    ASSERT_EQ(a->length, 3);
    EXPECT_TRUE(a->elements[0] && a->elements[1] && !a->elements[2]);
    // The first row's conversion empties the matrix; the row itself stays alive meanwhile.
    PyRef rows = py("with_first(lambda m: [Shrinker(m)], [[0]])");
    EXPECT_REFUSED(BooleanMatrix_fromPy(&obj, rows.get()), msg::InvalidValue);
}

TEST_F(ConvertTest, MatrixToPyRefusesAMissingRow) {
    IntMatrix* m = createIntMatrix(&obj, 2, 0);
    m->elements[0] = createIntArray(&obj, 1);
    EXPECT_REFUSED(IntMatrix_toPy(&obj, m), msg::Internal);
    EXPECT_REFUSED(RealMatrix_toPy(&obj, createRealMatrix(&obj, 1, 0)), msg::Internal);
    EXPECT_REFUSED(BooleanMatrix_toPy(&obj, createBooleanMatrix(&obj, 1, 0)), msg::Internal);
    EXPECT_REFUSED(PmfMatrix_toPy(&obj, allocatePmfMatrix(&obj, 1, 0)), msg::Internal);
    EXPECT_REFUSED(PmfArray_toPy(&obj, allocatePmfArray(&obj, 2)), msg::Internal);
    EXPECT_REFUSED(InterfaceMatrix_toPy(&obj, allocateInterfaceMatrix(&obj, 1, 0)), msg::Internal);
}

// ---- Interface values -----------------------------------------------------------------

int fnAlpha, fnBeta, fnAlphaToo, fnGamma, fnUnknown;

class InterfaceTest : public ConvertTest {
protected:
    // "alpha" twice, under two signatures; fnBeta twice, under two names.
    const char* names[5] = {"alpha", "beta", "alpha", "gamma", "beta2"};
    void* pointers[5] = {&fnAlpha, &fnBeta, &fnAlphaToo, &fnGamma, &fnBeta};
    Int signatures[5] = {1, 2, 2, 1, 1};
    void SetUp() override {
        obj.functionCount = 5;
        obj.functionPointers = pointers;
        obj.functionNames = names;
        obj.functionSignatureIndexes = signatures;
    }
};

TEST_F(InterfaceTest, LookupBothWays) {
    EXPECT_EQ(functionPointerFromName(&obj, 1, "alpha"), &fnAlpha);
    EXPECT_EQ(functionPointerFromName(&obj, 2, "alpha"), &fnAlphaToo);
    EXPECT_EQ(functionPointerFromName(&obj, 2, "beta"), &fnBeta);
    EXPECT_EQ(functionPointerFromName(&obj, 1, "beta"), nullptr);
    EXPECT_EQ(functionPointerFromName(&obj, 1, "Alpha"), nullptr);
    EXPECT_EQ(functionPointerFromName(&obj, 1, "alph"), nullptr);
    EXPECT_EQ(functionPointerFromName(&obj, 3, "gamma"), nullptr);
    EXPECT_STREQ(functionNameFromPointer(&obj, &fnAlphaToo), "alpha");
    EXPECT_STREQ(functionNameFromPointer(&obj, &fnBeta), "beta");  // the first entry wins
    EXPECT_STREQ(functionNameFromPointer(&obj, &fnUnknown), "0");
    EXPECT_STREQ(functionNameFromPointer(&obj, nullptr), "0");
    expectNew(Interface_toPy(&obj, &fnGamma), "'gamma'");
    expectNew(Interface_toPy(&obj, &fnUnknown), "'0'");
}

TEST_F(InterfaceTest, NamesFromPython) {
    PyRef name = py("StrSub('gamma')");
    RefWatch watch(name.get());
    const char* text = Interface_fromPy(&obj, name.get(), 1);
    EXPECT_STREQ(text, "gamma");
    EXPECT_EQ(text, PyUnicode_AsUTF8(name.get()));  // the object's own text
    watch.check();
    struct Case {
        const char* expr;
        Int signature;
    };
    for (const Case& c : {Case{"'beta'", 1}, Case{"'gamma'", 2}, Case{"'GAMMA'", 1}, Case{"''", 1},
                          Case{"b'gamma'", 1}, Case{"None", 1}, Case{"1", 1}, Case{"['gamma']", 1},
                          Case{"'\\ud800'", 1}, Case{"'gamma\\0'", 1}, Case{"'gamma\\0beta'", 1}}) {
        SCOPED_TRACE(c.expr);
        PyRef v = py(c.expr);
        RefWatch w(v.get());
        EXPECT_REFUSED(Interface_fromPy(&obj, v.get(), c.signature), msg::InvalidValue);
        w.check();
    }
}

TEST_F(InterfaceTest, ArraysAndMatrices) {
    PyRef list = py("['alpha', 'beta', StrSub('alpha')]");
    RefWatch watch(list.get());
    InterfaceArray* a = InterfaceArray_fromPy(&obj, list.get(), 2);
    watch.check();
    ASSERT_EQ(a->length, 3);
    EXPECT_EQ(a->elements[0], &fnAlphaToo);
    EXPECT_EQ(a->elements[1], &fnBeta);
    expectNew(InterfaceArray_toPy(&obj, a), "['alpha', 'beta', 'alpha']");
    a->elements[2] = &fnUnknown;
    expectNew(InterfaceArray_toPy(&obj, a), "['alpha', 'beta', '0']");

    PyRef rows = py("[['gamma'], ['beta2', 'alpha']]");
    InterfaceMatrix* m = InterfaceMatrix_fromPy(&obj, rows.get(), 1);
    ASSERT_EQ(m->length, 2);
    EXPECT_EQ(m->elements[1]->elements[0], &fnBeta);
    EXPECT_EQ(m->elements[1]->elements[1], &fnAlpha);
    // fnBeta is listed first as "beta".
    expectNew(InterfaceMatrix_toPy(&obj, m), "[['gamma'], ['beta', 'alpha']]");

    PyRef wrong = py("['alpha', 'beta']");
    EXPECT_REFUSED(InterfaceArray_fromPy(&obj, wrong.get(), 1), msg::InvalidValue);
    PyRef wrongRow = py("[['alpha'], ['alpha', 7]]");
    EXPECT_REFUSED(InterfaceMatrix_fromPy(&obj, wrongRow.get(), 1), msg::InvalidValue);
}

// The models of this module have empty tables: no name converts, every reference is "0".
TEST_F(ConvertTest, EmptyTableRefusesEveryName) {
    for (const char* e : {"'alpha'", "'0'", "''", "'step'"}) {
        SCOPED_TRACE(e);
        PyRef v = py(e);
        for (Int signature : {0, 1, -1})
            EXPECT_REFUSED(Interface_fromPy(&obj, v.get(), signature), msg::InvalidValue);
    }
    PyRef list = py("[['0']]");
    EXPECT_REFUSED(InterfaceMatrix_fromPy(&obj, list.get(), 0), msg::InvalidValue);
    EXPECT_EQ(functionPointerFromName(&obj, 0, "0"), nullptr);
    expectNew(Interface_toPy(&obj, &fnAlpha), "'0'");
    expectNew(InterfaceArray_toPy(&obj, createInterfaceArray(&obj, &fnBeta, 2)), "['0', '0']");
}

// A name that is not UTF-8 makes the interpreter's string constructor fail: its error
// stays pending and travels as PythonError, and the list under construction is freed.
TEST_F(InterfaceTest, InterpreterFailureBecomesPythonError) {
    names[3] = "\xff\xfe";
    EXPECT_THROW(Interface_toPy(&obj, &fnGamma), PythonError);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_UnicodeDecodeError));
    PyErr_Clear();
    InterfaceArray* a = createInterfaceArray(&obj, &fnAlpha, 3);
    a->elements[2] = &fnGamma;
    Py_ssize_t blocks = allocatedBlocks();
    for (int i = 0; i < 1000; i++) {
        EXPECT_THROW(InterfaceArray_toPy(&obj, a), PythonError);
        ASSERT_NE(PyErr_Occurred(), nullptr);
        PyErr_Clear();
    }
    EXPECT_LT(allocatedBlocks() - blocks, 50);
}

// ---- The call protocol's boundary ---------------------------------------------------------

// The message of the pending movra.error, cleared; "" if another error (or none) is pending.
std::string takeMovraError() {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    PyRef t(type), v(value), tb(trace);
    if (type != PException || value == nullptr) return "";
    PyRef text(PyObject_Str(value));
    return text.get() ? PyUnicode_AsUTF8(text.get()) : "";
}

// No C++ exception crosses into the interpreter: each becomes movra.error, except that
// PythonError keeps the interpreter's own error; the arena is swept either way.
TEST_F(ConvertTest, BoundaryCatchesEveryException) {
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] { fail(msg::EmptyPmf); }, msg::EmptyPmf},
        {[] { throw std::bad_alloc(); }, msg::OutOfMemory},
        {[] { throw std::out_of_range("at"); }, msg::Internal},
        {[] { std::vector<int>().reserve(size_t(-1)); }, msg::Internal},
        {[] { throw 7; }, msg::Internal},
    };
    for (const auto& [raise, message] : cases) {
        EXPECT_FALSE(protocol::guarded(&obj, release, [&] {
            movraMalloc(&obj, 64);
            raise();
        }));
        EXPECT_EQ(takeMovraError(), message);
        EXPECT_EQ(obj.memList, nullptr);
    }
    EXPECT_FALSE(protocol::guarded(&obj, release, [] {
        PyErr_SetString(PyExc_KeyError, "k");
        throw PythonError();
    }));
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyError));
    PyErr_Clear();
}

// ---- Reference counts over many conversions --------------------------------------------

TEST_F(ConvertTest, RepeatedConversionsKeepInputsAndHeapFlat) {
    std::vector<PyRef> good;
    for (const char* e :
         {"{1003: 0.25, 2: 0.75}", "{(7, 3): 0.5, (0, 1): 0.5}", "({0: 1.0}, {(1, 1): 1.0})"})
        good.push_back(py(e));
    const std::vector<Refusal> refusals = {{"{}", msg::EmptyDictionary},
                                           {"{0: 0.0}", msg::EmptyPmf},
                                           {"{-1: 0.5}", msg::NegativeInSupport},
                                           {"{1003: 0.5, 'x': 0.5}", msg::InvalidValue},
                                           {"{(7, 3): 0.5, 3: 0.5}", msg::InvalidValue},
                                           {"{(1,): 0.5}", msg::InvalidValue},
                                           {"{(): 0.5}", msg::InvalidValue},
                                           {"{0: float('nan')}", msg::InvalidValue},
                                           {"nest(300, {0: 1.0})", msg::InvalidValue},
                                           {"{0: 0.5, 2**31 - 1: 0.5}", msg::OutOfMemory},
                                           {"({0: 1.0}, [])", msg::InvalidValue}};
    std::vector<PyRef> bad;
    for (const Refusal& r : refusals) bad.push_back(py(r.expr));
    PyRef lists = py("[[1, 2**40], [0.5], [[{0: 1.0}]]]");
    PyRef badList = py("[1, 'x']");
    std::vector<RefWatch> watches;
    for (auto& r : good) watches.emplace_back(r.get());
    for (auto& r : bad) watches.emplace_back(r.get());
    watches.emplace_back(lists.get());
    watches.emplace_back(badList.get());

    auto round = [&] {
        for (auto& r : good) Py_DECREF(Pmf_toPy(&obj, Pmf_fromPy(&obj, r.get())));
        for (size_t i = 0; i < bad.size(); i++)
            EXPECT_REFUSED(Pmf_fromPy(&obj, bad[i].get()), refusals[i].message);
        Py_DECREF(IntArray_toPy(&obj, IntArray_fromPy(&obj, PyList_GET_ITEM(lists.get(), 0))));
        Py_DECREF(RealArray_toPy(&obj, RealArray_fromPy(&obj, PyList_GET_ITEM(lists.get(), 1))));
        Py_DECREF(PmfMatrix_toPy(&obj, PmfMatrix_fromPy(&obj, PyList_GET_ITEM(lists.get(), 2))));
        EXPECT_REFUSED(IntArray_fromPy(&obj, badList.get()), msg::InvalidValue);
        EXPECT_REFUSED(BooleanArray_fromPy(&obj, badList.get()), msg::InvalidValue);
        release(&obj);
    };
    for (int i = 0; i < 100; i++) round();
    Py_ssize_t blocks = allocatedBlocks();
    for (int i = 0; i < 2000; i++) round();
    for (const auto& w : watches) w.check();
    EXPECT_LT(allocatedBlocks() - blocks, 50);
}

}  // namespace

// Under LeakSanitizer: the interpreter keeps a few allocations past Py_FinalizeEx, and any
// leak of Python objects is caught above by the interpreter's own block count. Leaks of the
// C++ side (accumulator windows, enumerator records) are still reported.
// Default visibility: the sanitizer runtime looks the hook up dynamically.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libpython\n";
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Py_Initialize();
    PException = PyErr_NewException("movra.error", nullptr, nullptr);
    if (PException == nullptr || PyRun_SimpleString(kHelpers) != 0) return 2;
    int result = RUN_ALL_TESTS();
    Py_CLEAR(PException);
    if (Py_FinalizeEx() < 0) return 3;
    return result;
}
