// The one failure type of the module. Model code throws CException with a catalogue
// message; only the call protocol at the Python boundary catches it. Nothing inside the
// engine recovers locally.
#pragma once
#include "messages.h"
#include "types.h"

namespace movra {

class CException {
public:
    const char* message;  // static catalogue text; never freed
    explicit CException(const char* _message) : message(_message) {}
};

// Throws; never ends the process (deliberately not named like the C library's abort).
[[noreturn]] void fail(const char* _message);
[[noreturn]] void failInternal();
[[noreturn]] void failImport();

// Guard for every division in model code: refuses +0.0 and -0.0, lets NaN pass.
inline Real checkDenominator(Real x) {
    if (x == 0.0) fail(msg::DivideByZero);
    return x;
}

}  // namespace movra
