#include "store/lock.h"

#include "store/system_calls.h"

#include <algorithm>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace qivo {

// The store locks this process holds or waits for. A child forked while one
// is held closes its copy of the lock file at once, so that it never keeps
// other writers waiting; the record also tells a thread that asks again for
// a lock it holds.
class HeldStoreLocks {
public:
    static HeldStoreLocks& instance() {
        static HeldStoreLocks* const locks = [] {
            auto* created = new HeldStoreLocks;
            pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                           [] { instance().forget_in_child(); });
            return created;
        }();
        return *locks;
    }

    bool held_by_this_thread(const FileStatus& lock_file) {
        std::lock_guard guard(mutex_);
        return std::any_of(locks_.begin(), locks_.end(), [&](const StoreLock* lock) {
            return lock->held_ && pthread_equal(lock->owner_, pthread_self()) &&
                   lock->lock_file_.same_file(lock_file);
        });
    }

    void add(StoreLock* lock) {
        std::lock_guard guard(mutex_);
        locks_.push_back(lock);
    }

    void mark_held(StoreLock* lock) {
        std::lock_guard guard(mutex_);
        lock->held_ = true;
    }

    // Forgets `lock` and closes its descriptor, which releases the lock.
    void release(StoreLock* lock) {
        std::lock_guard guard(mutex_);
        locks_.erase(std::remove(locks_.begin(), locks_.end(), lock), locks_.end());
        if (lock->fd_ >= 0) {
            close(lock->fd_);
            lock->fd_ = -1;
        }
    }

private:
    // Runs in a forked child, where only the forking thread lives and the
    // mutex is held by the prepare handler.
    void forget_in_child() {
        for (StoreLock* lock : locks_) {
            close(lock->fd_);
            lock->fd_ = -1;
        }
        locks_.clear();
        mutex_.unlock();
    }

    std::mutex mutex_;
    std::vector<StoreLock*> locks_;
};

namespace {

int open_lock_file(const std::string& path) {
    int fd = posix::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        // flock needs no write access: an existing lock file that is not
        // writable still serves.
        fd = posix::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    return fd;
}

} // namespace

StoreLock::StoreLock(nb::handle connections_file) {
    // The lock goes beside the file that is replaced. A store that links to
    // a device (/dev/null, say) is written in place, and its lock stays
    // beside the link, out of the device's directory.
    const std::string store = fs_path(connections_file);
    std::string lock_path = resolve_links(store).value_or(store);
    const PathKind kind = path_kind(lock_path);
    if (kind != PathKind::regular_file && kind != PathKind::missing) {
        lock_path = store;
    }
    lock_path += ".lock";
    UniqueFd fd(open_lock_file(lock_path));
    const std::optional<FileStatus> status = fd ? status_of(fd.get()) : std::nullopt;
    if (!status) {
        return;
    }
    HeldStoreLocks& locks = HeldStoreLocks::instance();
    if (locks.held_by_this_thread(*status)) {
        raise_error(PyExc_RuntimeError,
                    "the connections store cannot be changed while this thread is changing it "
                    "(a change started from a signal handler or a callback during a change)");
    }
    fd_ = fd.release();
    lock_file_ = *status;
    owner_ = pthread_self();
    locks.add(this);
    wait_for_lock();
}

// Waits for the lock with the interpreter lock released; Python signal
// handlers run while it waits, and an exception one raises ends the wait.
void StoreLock::wait_for_lock() {
    HeldStoreLocks& locks = HeldStoreLocks::instance();
    for (;;) {
        int result = 0;
        int error_number = 0;
        Py_BEGIN_ALLOW_THREADS;
        result = posix::flock(fd_, LOCK_EX);
        error_number = errno;
        Py_END_ALLOW_THREADS;
        if (result == 0) {
            locks.mark_held(this);
            return;
        }
        if (error_number != EINTR || fd_ < 0) {
            // No lock support here (ENOLCK, EINVAL): go on unlocked.
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            locks.release(this);
            nb::raise_python_error();
        }
    }
    locks.release(this);
}

StoreLock::~StoreLock() {
    HeldStoreLocks::instance().release(this);
}

} // namespace qivo
