// The record text form, parsed incrementally into a record.
#pragma once
#include <cstddef>

#include "record.h"

namespace vdbs {

// Feeds n bytes; returns a status. Errors stick to the record.
int parseTextForm(Record& rec, TextFormState& st, const char* p, size_t n);
// The input is complete: a value still waiting for its line end is taken,
// anything else unfinished is an error.
int finishTextForm(Record& rec, TextFormState& st);

}  // namespace vdbs
