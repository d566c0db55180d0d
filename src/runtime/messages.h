// The catalogue: every message the module can raise, as a named constant. Messages are
// static English text, never built at run time and never carrying an input value; code
// refers to these names, never to a literal. The one exception is the exact station's
// state limit (failStateLimit), which names the states needed and the limit.
#pragma once

namespace movra {

namespace msg {
constexpr const char* OutOfMemory = "Out of memory";
constexpr const char* Internal = "MOVRA internal error";
constexpr const char* InvalidValue = "Invalid value";
constexpr const char* DivideByZero = "Divide by zero";
constexpr const char* SqrtOfNegative = "Attempt to take square root of negative number";
constexpr const char* LogOfNegative = "Attempt to take log of negative number";
constexpr const char* InvalidPow = "Invalid pow operation";
constexpr const char* EmptyPmf = "Empty pmf";
constexpr const char* NegativeInSupport = "Negative integer in pmf support";
constexpr const char* NegativeSample = "Samples must be nonnegative integers";
constexpr const char* ConditionOnZero = "Attempt to condition on a value of probability zero";
constexpr const char* LeftTailNeedsSimple = "computeLeftTail requires simple pmf";
constexpr const char* RightTailNeedsSimple = "computeRightTail requires simple pmf";
constexpr const char* InvalidMultinomial = "Invalid multinomial parameters";
constexpr const char* InvalidHypergeometric = "Invalid hypergeometric parameters";
constexpr const char* InvalidMultivariateHypergeometric =
    "Invalid multivariateHypergeometric parameters";
constexpr const char* InvalidArraySize = "Invalid array size";
constexpr const char* InvalidArrayDimensions = "Invalid array dimensions";
constexpr const char* InvalidMatrixDimensions = "Invalid matrix dimensions";
constexpr const char* LookupOutOfRange = "Lookup index out of range";
constexpr const char* EmptyDictionary = "Empty dictionary";
constexpr const char* InvalidNumberOfEntities =
    "Invalid number of entities. The number of entities must be nonnegative.";
constexpr const char* InvalidNumberOfServers =
    "Invalid number of servers. The number of servers must be nonnegative.";
constexpr const char* InvalidServiceDuration =
    "Invalid service duration pmf. Service durations must be strictly positive.";
constexpr const char* InvalidNumberOfNodes =
    "Invalid number of nodes. The number of nodes must be strictly positive.";
constexpr const char* InvalidRouting =
    "Invalid routing probabilities. Sum of destination probabilities exceeds 1.";
constexpr const char* InvalidProbability =
    "Invalid probability. Probabilities must be between 0 and 1.";
// The exact station's own checks.
constexpr const char* InvalidRemainingTime =
    "Invalid remaining service time. Remaining service times must be strictly positive.";
constexpr const char* InvalidBusyCount =
    "Invalid number of entities in service. It must lie between min(z, number_of_servers) and z.";
constexpr const char* InvalidMaxStates =
    "Invalid state limit. max_states must be a strictly positive integer.";
constexpr const char* InvalidCapacity =
    "Invalid capacity. The capacity must be a nonnegative integer or None.";

// Argument-count messages: wrappers returning None use the first form, wrappers
// returning a value the second. Indexed by the expected count.
constexpr const char* ExpectedParameters[] = {"Expected 0 parameters", "Expected 1 parameters",
                                              "Expected 2 parameters", "Expected 3 parameters"};
constexpr const char* ExpectedParameterS[] = {"Expected 0 parameter(s)", "Expected 1 parameter(s)",
                                              "Expected 2 parameter(s)"};
}  // namespace msg

}  // namespace movra
