#include "error.h"

#include "messages.h"

void abort(const char* _message) { throw CException(_message); }

void abortInternal() { abort(msg::Internal); }

void abortImport() { abort(msg::InvalidValue); }
