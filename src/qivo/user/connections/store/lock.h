// Serialises the read-change-write of the store between processes and
// threads: an exclusive advisory lock (flock) on a lock file beside the store
// (beside the file a link at the store's path leads to, so that every path
// to one store takes one lock). Readers never lock: the store is only ever
// replaced whole, by a rename.
#pragma once

#include "runtime/capi.h"
#include "store/posix_file.h"

#include <pthread.h>

namespace qivo {

class StoreLock {
public:
    // Blocks, with the interpreter lock released, until the lock on the lock
    // file of `connections_file` is held. The lock file (mode 0o600) is
    // created when missing and never removed: removing it would let two
    // writers lock two different files. When it cannot be opened or created
    // (a missing or read-only directory) the caller goes on unlocked.
    //
    // A thread that holds the lock and asks for it again (from a signal
    // handler, or a callback run during a change) would wait for itself
    // forever; it gets RuntimeError instead. A child process forked while the
    // lock is held does not hold it.
    explicit StoreLock(nb::handle connections_file);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

private:
    friend class HeldStoreLocks;

    void wait_for_lock();

    int fd_ = -1;
    FileStatus lock_file_{};
    pthread_t owner_{};
    bool held_ = false;
};

} // namespace qivo
