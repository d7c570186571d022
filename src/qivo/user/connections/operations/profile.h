// What a profile is: the two connection types, the fields a stored entry
// holds (shared with loading where the sets agree), and the reserved names.
#pragma once

#include "module_globals.h"
#include "operations/key_placement.h"

#include <initializer_list>

namespace qivo {

// The Salesforce redirect URL stored and returned when none is given.
inline constexpr const char* default_redirect_url = "https://localhost:1717//OauthRedirect";

// `name.startswith("_")`: the names of metadata tables, never profiles.
bool starts_with_underscore(nb::handle name);

// Whether a stripped name can never name a profile: empty, or a metadata
// table's name.
bool is_reserved_name(nb::handle stripped_name);

// `connections[name]`, a stored profile or the `_primary` table, which must
// be a table: a hand-edited store can hold any value under a name
// (`version = 1`). Anything else raises ValueError naming the entry and the
// file, an error about the file's content as a TOMLDecodeError is.
nb::object stored_table(const ModuleGlobals& globals, nb::handle connections, nb::handle name);

// A type given by a caller: `connection_type.strip().lower()`.
nb::object normalize_type(nb::handle connection_type);

// The type of a stored profile: its `connection_type` ("snowflake" when
// absent), as text, stripped and lower-cased.
nb::object stored_connection_type(nb::handle entry);

// Whether a normalised type is one of the two services, by `==`.
bool is_snowflake(nb::handle type);
bool is_salesforce(nb::handle type);

[[noreturn]] void raise_unknown_connection_type(nb::handle type);

// How a text field treats a None value: a stored entry takes it as empty
// text, while loading converts whatever it finds with str().
enum class NoneText { empty, converted };

// Sets each of `fields` in `target` to `str(source.get(field, "")).strip()`
// (None giving "" when `none` is NoneText::empty).
void copy_text_fields(nb::dict target, nb::handle source, std::initializer_list<const char*> fields,
                      NoneText none);

// Sets the Salesforce fields after `connection_type` in `target`, from
// `source`: the same set and order whether a profile is stored or loaded.
void copy_salesforce_fields(nb::dict target, nb::handle source, NoneText none);

// The entry stored for a profile of the normalised `type`, built from
// `credentials`; for Snowflake this first places the key file (see
// place_private_key). Raises ValueError for a type other than the two.
nb::dict build_connection_entry(const ModuleGlobals& globals, nb::handle type, nb::dict credentials,
                                bool copy_key, const KeyOwner& owner, ChangeReport& report);

} // namespace qivo
