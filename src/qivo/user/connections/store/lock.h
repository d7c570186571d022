// Serialises the writers of the store between processes and threads: an
// advisory lock (flock) on a lock file beside the store (beside the file a
// link at the store's path leads to, so that every path to one store takes
// one lock). Changes hold it exclusively for their whole read-change-write,
// and so does every other write of the store. Readers need no lock, as the
// store is only ever replaced whole, by a rename; a reader that finds no
// store while a writer is at work waits for it once (a rename on a FUSE file
// system leaves a moment in which the name leads nowhere).
#pragma once

#include "runtime/capi.h"
#include "store/posix_file.h"

#include <pthread.h>

namespace qivo {

class StoreLock {
public:
    enum class Purpose {
        // A change's read-change-write: exclusive. A thread that holds the
        // lock and asks for it again (from a signal handler, or a callback
        // run during a change) would wait for itself forever; it gets
        // RuntimeError instead.
        change,
        // A write outside a change (the writer called directly, a new
        // store): exclusive, or nothing when this thread holds the lock
        // already, since its own change then serialises the write.
        write,
        // A reader's second look for a store it did not find: shared, and
        // nothing at all (no error) when there is no lock file, when it
        // cannot be opened or locked, or when this thread holds the lock.
        second_look,
    };

    // Blocks, with the interpreter lock released, until the lock of
    // `connections_file` is held. The lock file (mode 0o600) is created when
    // missing (not for a second look) and never removed: removing it would
    // let two writers lock two different files. A writer never goes on
    // unlocked while the store can be written: a lock file that cannot be
    // opened (a link in its place, another user's file) or locked raises
    // OSError naming it. It goes on unlocked only where the store cannot
    // exist or be written by anyone (no directory, a read-only file system)
    // or where the file system has no locks at all. A child process forked
    // while the lock is held does not hold it.
    StoreLock(nb::handle connections_file, Purpose purpose);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    // Whether this object holds the lock.
    bool held() const { return held_; }

private:
    friend class HeldStoreLocks;

    bool open_lock_file(const std::string& path, Purpose purpose);
    void wait_for_lock(int operation, Purpose purpose);

    int fd_ = -1;
    FileStatus lock_file_{};
    pthread_t owner_{};
    bool held_ = false;
};

} // namespace qivo
