// What each module object keeps for itself outside its namespace, where no
// attribute of the module shows it.
#pragma once

#include "runtime/capi.h"

namespace qivo {

class TomllibSnapshot;

struct ModuleState {
    // Recorded when the module selected the standard tomllib, else null;
    // owned by the module (freed with it).
    TomllibSnapshot* tomllib_snapshot;
};

// The state of one of the module's objects (null only while the interpreter
// has not allocated it yet).
inline ModuleState* module_state(nb::handle module) {
    return static_cast<ModuleState*>(PyModule_GetState(module.ptr()));
}

} // namespace qivo
