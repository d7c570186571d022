// A native reader for the TOML text of the store: the text the writer emits
// (tables of `key = value` lines, top-level entries before the first table)
// and the plain hand edits of it (comments, blank lines, spacing, quoted
// names, arrays over several lines). It builds exactly the objects that the
// standard library's tomllib builds for that text, with the same CPython
// constructors, and declines everything else, so that the caller can hand
// the text to tomllib and get tomllib's result or tomllib's error.
#pragma once

#include "runtime/capi.h"

#include <string_view>

namespace qivo {

// Parses the bytes of a store file into the dict that
// `tomllib.loads(bytes.decode())` returns, or returns an empty (invalid)
// object when it declines the text: anything outside the small part of TOML
// it knows, anything tomllib would reject, anything whose value a CPython
// constructor refuses (a day that does not exist, an int over the digit
// limit), and arrays and inline tables nested deeper than the writer writes
// them (max_nesting). `offset_timezone` makes the tzinfo of a numeric offset from the
// texts of its hours, minutes and sign, called as tomllib's own cache of
// offsets is called (`("05", "30", "+")`). Raises only what the interpreter
// raises by itself, such as MemoryError, or what `offset_timezone` raises
// other than ValueError.
nb::object parse_store_text(std::string_view text, nb::handle offset_timezone);

} // namespace qivo
