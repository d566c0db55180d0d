// The one failure type of the module. Model code throws CException with a catalogue
// message; only the Python-facing wrappers catch it. Nothing else is thrown for model
// failures, and nothing inside the module recovers locally.
#pragma once
#include "messages.h"
#include "types.h"

class CException {
public:
    const char* message;  // static catalogue text; never freed
    explicit CException(const char* _message) : message(_message) {}
};

// The module's own abort: throws, never ends the process.
[[noreturn]] void abort(const char* _message);
[[noreturn]] void abortInternal();
[[noreturn]] void abortImport();

// Guard for every division in model code: refuses +0.0 and -0.0, lets NaN pass.
inline Real checkDenominator(Real x) {
    if (x == 0.0) abort(msg::DivideByZero);
    return x;
}
