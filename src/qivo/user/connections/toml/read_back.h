// The check that the text the writer rendered reads back as the mapping it
// was rendered from, before it may replace the store.
#pragma once

#include "runtime/capi.h"

namespace qivo {

// Whether `parsed`, what a TOML reader made of the rendered text, is what
// `connections` holds as the writer writes it: the top level's entries that
// are not tables first, then its tables, each level in its own order; None
// as ""; a str subclass as its text; numbers, dates and times with the same
// value (a float with the same bits, the sign of zero and of nan included).
bool reads_back_as(nb::handle parsed, nb::handle connections);

} // namespace qivo
