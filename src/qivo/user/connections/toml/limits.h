// Limits that the reader and the writer of the store's text share.
#pragma once

namespace qivo {

// The deepest nesting of arrays and inline tables: the writer refuses a
// value nested deeper, and the native parser declines one (tomllib then
// reads it), so that what the writer writes is always read natively and
// read back from any caller's stack.
inline constexpr int max_nesting = 100;

} // namespace qivo
