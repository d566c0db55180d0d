// va_end on every path out of a variadic function, the throwing ones included: the one
// way the runtime pairs va_start (or va_copy) with va_end.
#pragma once
#include <cstdarg>

namespace movra {

struct VaListGuard {
    va_list& args;
    ~VaListGuard() { va_end(args); }
};

}  // namespace movra
