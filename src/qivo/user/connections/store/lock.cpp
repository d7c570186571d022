#include "store/lock.h"

#include "store/system_calls.h"

#include <algorithm>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>
#include <utility>
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

// The lock file of a store: beside the file that is replaced. A store that
// links to a device (/dev/null, say) is written in place, and its lock stays
// beside the link, out of the device's directory.
std::string lock_path_of(nb::handle connections_file) {
    const std::string store = fs_path(connections_file);
    std::string lock_path = resolve_links(store).value_or(store);
    const PathKind kind = path_kind(lock_path);
    if (kind != PathKind::regular_file && kind != PathKind::missing) {
        lock_path = store;
    }
    return lock_path + ".lock";
}

[[noreturn]] void raise_lock_file_error(int error_number, const std::string& path) {
    nb::object name = checked(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    raise_os_error(error_number, name);
}

// Failures of flock that mean the file system has no locks.
bool means_no_locks(int error_number) {
    return error_number == ENOLCK || error_number == EOPNOTSUPP || error_number == ENOSYS ||
           error_number == EINVAL;
}

} // namespace

StoreLock::StoreLock(nb::handle connections_file, Purpose purpose) {
    const std::string lock_path = lock_path_of(connections_file);
    if (!open_lock_file(lock_path, purpose)) {
        return;
    }
    HeldStoreLocks& locks = HeldStoreLocks::instance();
    if (locks.held_by_this_thread(lock_file_)) {
        close(std::exchange(fd_, -1));
        if (purpose == Purpose::change) {
            raise_error(PyExc_RuntimeError,
                        "the connections store cannot be changed while this thread is changing it "
                        "(a change started from a signal handler or a callback during a change)");
        }
        return;
    }
    owner_ = pthread_self();
    locks.add(this);
    wait_for_lock(purpose == Purpose::second_look ? LOCK_SH : LOCK_EX, purpose);
    if (!held_ && fd_ >= 0 && purpose != Purpose::second_look) {
        const int error_number = errno;
        locks.release(this);
        raise_lock_file_error(error_number, lock_path);
    }
}

// Opens the lock file into `fd_` (creating it for a writer); returns false
// when the caller goes on unlocked, and raises when a writer cannot lock a
// store that can be written.
bool StoreLock::open_lock_file(const std::string& path, Purpose purpose) {
    int error_number = 0;
    if (purpose != Purpose::second_look) {
        fd_ = retry_on_interrupt([&] {
            return posix::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        });
        error_number = errno;
    }
    if (fd_ < 0) {
        // flock needs no write access: an existing lock file that is not
        // writable still serves.
        fd_ = retry_on_interrupt(
            [&] { return posix::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); });
        if (fd_ < 0 && (errno != ENOENT || error_number == 0)) {
            error_number = errno;
        }
    }
    if (fd_ >= 0) {
        if (const std::optional<FileStatus> status = status_of(fd_)) {
            lock_file_ = *status;
            return true;
        }
        error_number = errno;
        close(std::exchange(fd_, -1));
    }
    // No directory (so no store), or a file system no one can write.
    if (purpose == Purpose::second_look || error_number == ENOENT || error_number == ENOTDIR ||
        error_number == EROFS) {
        return false;
    }
    raise_lock_file_error(error_number, path);
}

// Waits for the lock with the interpreter lock released; Python signal
// handlers run while it waits, and an exception one raises ends the wait.
// Without lock support in the file system (or for a second look that cannot
// lock) the descriptor is closed and the caller goes on unlocked; any other
// failure leaves it open, with errno set, for the caller to report.
void StoreLock::wait_for_lock(int operation, Purpose purpose) {
    HeldStoreLocks& locks = HeldStoreLocks::instance();
    for (;;) {
        int result = 0;
        int error_number = 0;
        Py_BEGIN_ALLOW_THREADS;
        result = posix::flock(fd_, operation);
        error_number = errno;
        Py_END_ALLOW_THREADS;
        if (result == 0) {
            locks.mark_held(this);
            return;
        }
        if (error_number == EINTR && fd_ >= 0) {
            if (PyErr_CheckSignals() < 0) {
                locks.release(this);
                nb::raise_python_error();
            }
            continue;
        }
        if (means_no_locks(error_number) || purpose == Purpose::second_look) {
            locks.release(this);
        }
        errno = error_number;
        return;
    }
}

StoreLock::~StoreLock() {
    HeldStoreLocks::instance().release(this);
}

} // namespace qivo
