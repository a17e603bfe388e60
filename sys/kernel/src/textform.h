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

// Values of node parts handed over directly: value k goes to field fields[k]
// of part parts[k], where the text form line of that field would put it in
// that part. Everything is checked before anything is written; the text
// form's current part becomes the part of the last value.
int putPartValues(Record& rec, TextFormState& st, int count, const int* parts, const int* fields,
                  const char* const* values, const int* lengths);

}  // namespace vdbs
