// What the operations share: connection types, the field sets of a stored
// profile, the placement of Snowflake key files, and a few lookups.
#pragma once

#include "namespace.h"

#include <initializer_list>

namespace qivo {

// The Salesforce redirect URL stored and returned when none is given.
inline constexpr const char* default_redirect_url = "https://localhost:1717//OauthRedirect";

// `mapping.get(key, default_value)`.
nb::object get_or(nb::handle mapping, const char* key, nb::handle default_value);

// `key in container`.
bool contains(nb::handle container, nb::handle key);

// `name.startswith("_")`: the names of metadata tables, never profiles.
bool starts_with_underscore(nb::handle name);

// Whether a stripped name can never name a profile: empty, or a metadata
// table's name.
bool is_reserved_name(nb::handle stripped_name);

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

// The profile an entry is built for, and the store it goes into.
struct EntryTarget {
    nb::handle connections; // the whole store, as read
    nb::handle name;        // the key the entry is stored under
    nb::handle velmor_dir;  // where key files are placed
};

// The entry stored for a profile of the normalised `type`, built from
// `credentials`; for Snowflake this first places the key file into the
// per-user directory, never over a different key that another profile of the
// store records. Raises ValueError for a type other than the two.
nb::dict build_connection_entry(const ModuleNamespace& globals, nb::handle type,
                                nb::dict credentials, bool copy_key, const EntryTarget& target);

} // namespace qivo
