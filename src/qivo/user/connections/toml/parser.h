// A native reader for the TOML text of the store, which builds exactly the
// objects that the standard library's tomllib builds, with the same CPython
// constructors, for the text it accepts.
//
// Accepts: the text the writer emits and the plain hand edits of it. Lines
// holding a `[name]` table header, a `key = value` entry or nothing, each
// with an optional comment; bare, literal ('...') and basic ("...") keys;
// single-line literal and basic strings (all escapes); true and false;
// decimal integers and floats without underscores, inf and nan; dates,
// local times and date-times with or without an offset; arrays over any
// number of lines and one-line inline tables, nested up to max_nesting.
//
// Declines, so that the caller hands the text to tomllib and gets tomllib's
// own result or error: everything else TOML has (dotted keys, [[arrays of
// tables]], multi-line strings, hex, octal and binary integers, underscores
// in numbers, deeper nesting), everything tomllib rejects (a name given
// twice, a control character, invalid UTF-8, ...), and every value a CPython
// constructor refuses (a day that does not exist, an int over the digit
// limit).
//
// Raises: only what the interpreter raises by itself, such as MemoryError,
// and what `offset_timezone` raises other than ValueError.
#pragma once

#include "runtime/capi.h"

#include <string_view>

namespace qivo {

// Parses the bytes of a store file into the dict that
// `tomllib.loads(bytes.decode())` returns, or returns an empty (invalid)
// object when it declines the text. `offset_timezone` makes the tzinfo of a
// numeric offset from the texts of its hours, minutes and sign, called as
// tomllib's own cache of offsets is called (`("05", "30", "+")`).
nb::object parse_store_text(std::string_view text, nb::handle offset_timezone);

} // namespace qivo
