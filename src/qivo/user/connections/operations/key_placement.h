// Placing a Snowflake profile's private key file into the per-user
// directory.
#pragma once

#include "module_globals.h"
#include "store/change.h"

namespace qivo {

// The profile a key is placed for, and the store it goes into.
struct KeyOwner {
    nb::handle connections; // the whole store, as read
    nb::handle name;        // the profile's key in the store
    nb::handle velmor_dir;  // where key files are placed
};

// Copies the key file that `credentials` names under `private_key_file`
// into the per-user directory with mode 0o600, unless `copy_key` is false or
// the name is not an existing file; returns the path the entry records
// (still to be converted to text). A copy never replaces a different key
// that another profile of the store records: it then goes to the first free
// "<stem>-N<suffix>" name. The line that reports the copy goes to `report`.
nb::object place_private_key(const ModuleGlobals& globals, nb::dict credentials, bool copy_key,
                             const KeyOwner& owner, ChangeReport& report);

} // namespace qivo
