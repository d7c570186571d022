// The text in which the store is written: one block per table, in the
// store's order, each a header line, an empty line, one `key = value` line per
// entry and a closing empty line. Every value is written so that a TOML
// reader returns it unchanged (None comes back as the empty string, and the
// fold of a date-time or time is not kept: TOML cannot say it).
#pragma once

#include "runtime/capi.h"

#include <string>

namespace qivo {

// The complete text (UTF-8) for `connections`. Raises, before anything is
// written, TypeError for a name that is not a str or a value of a kind TOML
// cannot hold, ValueError for a value TOML cannot represent exactly or one
// nested deeper than max_nesting (toml/limits.h), and UnicodeEncodeError for
// a str that UTF-8 cannot carry.
std::string render_store_text(nb::handle connections);

} // namespace qivo
