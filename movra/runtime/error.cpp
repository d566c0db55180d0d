#include "error.h"

#include "messages.h"

void abort(const char* _message) { throw CException(_message); }

void abortInternal() { abort(msg::Internal); }

void abortImport() { abort(msg::InvalidValue); }

Real checkDenominator(Real x) {
    if (x == 0.0) abort(msg::DivideByZero);
    return x;
}
