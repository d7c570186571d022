// Serialises the read-change-write of the store between processes and
// threads: an exclusive advisory lock (flock) on a lock file beside the store.
// Readers never lock: the store is only ever replaced whole, by a rename.
#pragma once

#include "runtime/capi.h"

#include <utility>

namespace qivo {

class StoreLock {
public:
    // Blocks, with the interpreter lock released, until the lock on the lock
    // file of `connections_file` is held. The lock file (mode 0o600) is
    // created when missing and never removed: removing it would let two
    // writers lock two different files. When it cannot be opened or created
    // (a missing or read-only directory) the caller goes on unlocked.
    explicit StoreLock(nb::handle connections_file);
    StoreLock(StoreLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    StoreLock& operator=(StoreLock&&) = delete;
    ~StoreLock();

private:
    int fd_ = -1;
};

} // namespace qivo
