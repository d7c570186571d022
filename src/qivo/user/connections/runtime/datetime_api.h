// The interpreter's C datetime API, loaded once for the whole module: every
// source that includes this header uses one shared table instead of the
// per-source copy that <datetime.h> declares.
#pragma once

#include <Python.h>
#include <datetime.h>

namespace qivo {

// The table that PyDateTimeAPI names below; null until import_datetime()
// succeeds.
extern PyDateTime_CAPI* datetime_api;

// Loads the C datetime API if it is not loaded yet. Returns false, with no
// error pending, when the interpreter has none to give (its C datetime
// module is blocked and the pure-Python one stands in); any other failure
// is raised.
bool import_datetime();

} // namespace qivo

#define PyDateTimeAPI (::qivo::datetime_api)
