#include "error.h"

#include "messages.h"

namespace movra {

void fail(const char* _message) { throw CException(_message); }

void failInternal() { fail(msg::Internal); }

void failImport() { fail(msg::InvalidValue); }

}  // namespace movra
