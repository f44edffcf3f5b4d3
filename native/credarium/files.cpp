#include "files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace credarium::files {

using namespace frame;

namespace {

bool raise_os_error(const char* path)
{
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    return false;
}

const char* path_of(Borrowed path) { return PyBytes_AS_STRING(path.ptr()); }

// A file-system path made from a format, for the names next to
// accounts.json. A path too long for the system is refused as the system
// would refuse it.
class PathText {
public:
    [[gnu::format(printf, 2, 3)]] bool format(const char* pattern, ...)
    {
        va_list arguments;
        va_start(arguments, pattern);
        int length = std::vsnprintf(text_, sizeof text_, pattern, arguments);
        va_end(arguments);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof text_) {
            errno = ENAMETOOLONG;
            return raise_os_error(text_);
        }
        return true;
    }
    const char* get() const { return text_; }

private:
    char text_[PATH_MAX + 128] = {};
};

// The folder of `path` (with its trailing slash, or empty for the current
// folder) and the file's own name.
struct FolderAndName {
    const char* path;
    std::size_t folder_length;
    const char* name() const { return path + folder_length; }
};

FolderAndName split_path(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return {path, slash == nullptr ? 0 : static_cast<std::size_t>(slash - path + 1)};
}

bool write_all(int fd, const char* data, Py_ssize_t size)
{
    while (size > 0) {
        ssize_t written;
        Py_BEGIN_ALLOW_THREADS
        written = ::write(fd, data, static_cast<std::size_t>(size));
        Py_END_ALLOW_THREADS
        if (written < 0) {
            if (errno == EINTR) {
                if (PyErr_CheckSignals() < 0) return false;
                continue;
            }
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// Writes a new file that nobody else can read, from its creation on, and
// flushes it to disk. Gives it back open; on failure the file is removed and
// the OSError raised.
FileDescriptor write_private_file(const char* path, Borrowed data)
{
    FileDescriptor fd(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) {
        raise_os_error(path);
        return fd;
    }
    bool ok = write_all(fd.get(), PyBytes_AS_STRING(data.ptr()), PyBytes_GET_SIZE(data.ptr()));
    if (ok) {
        int synced;
        Py_BEGIN_ALLOW_THREADS
        synced = ::fsync(fd.get());
        Py_END_ALLOW_THREADS
        ok = synced == 0;
    }
    if (!ok) {
        if (!PyErr_Occurred()) raise_os_error(path);
        ::unlink(path);
        return FileDescriptor();
    }
    return fd;
}

// Makes the file behind `opened` (an O_PATH descriptor, taken before the file
// was renamed to `now_at`) as private as a copy would be. Best effort, and
// only when `now_at` still holds that very regular file: never a link's
// target, never something swapped in meanwhile. The change goes through the
// descriptor, so nothing that appears at the name afterwards is touched.
void make_private(const FileDescriptor& opened, const char* now_at)
{
    struct stat before {};
    struct stat after {};
    if (!opened || ::fstat(opened.get(), &before) < 0 || !S_ISREG(before.st_mode)) return;
    if (::lstat(now_at, &after) < 0 || after.st_dev != before.st_dev || after.st_ino != before.st_ino) return;
    PathText through_descriptor;
    if (!through_descriptor.format("/proc/self/fd/%d", opened.get())) {
        PyErr_Clear();
        return;
    }
    ::chmod(through_descriptor.get(), 0600);
}

// Makes a rename in the folder of `path` survive a power cut, not only a
// crash. Best effort: some file systems cannot sync a folder, and the file
// itself is already complete either way.
void sync_folder(const char* path)
{
    FolderAndName parts = split_path(path);
    PathText folder;
    if (!folder.format("%.*s", static_cast<int>(parts.folder_length), path)) {
        PyErr_Clear();
        return;
    }
    FileDescriptor fd(::open(parts.folder_length ? folder.get() : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return;
    Py_BEGIN_ALLOW_THREADS
    ::fsync(fd.get());
    Py_END_ALLOW_THREADS
}

bool has_prefix(const char* text, const char* prefix, std::size_t length)
{
    return std::strncmp(text, prefix, length) == 0;
}

// Removes temporary files that killed writers left next to `path`: named
// after a process that no longer exists, and untouched for ten minutes, so
// that a writer still at work (in this process, another one, or one this
// process cannot see) never loses its file. Best effort.
void remove_stale_temporaries(const char* path)
{
    FolderAndName parts = split_path(path);
    PathText folder;
    PathText prefix;
    if (!folder.format("%.*s", static_cast<int>(parts.folder_length), path) ||
        !prefix.format(".%s.", parts.name())) {
        PyErr_Clear();
        return;
    }
    DIR* dir = ::opendir(parts.folder_length ? folder.get() : ".");
    if (dir == nullptr) return;
    const std::size_t prefix_length = std::strlen(prefix.get());
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        const char* candidate = entry->d_name;
        std::size_t length = std::strlen(candidate);
        if (length <= prefix_length + 4 || !has_prefix(candidate, prefix.get(), prefix_length) ||
            std::strcmp(candidate + length - 4, ".tmp") != 0) {
            continue;
        }
        char* end = nullptr;
        long pid = std::strtol(candidate + prefix_length, &end, 10);
        if (end == nullptr || *end != '.' || pid <= 0 || pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        struct stat status {};
        if (::fstatat(::dirfd(dir), candidate, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(status.st_mode) || now - status.st_mtime < 600) continue;
        ::unlinkat(::dirfd(dir), candidate, 0);
    }
    ::closedir(dir);
}

// A name next to `path` that nothing holds yet, made unique by the process,
// a counter and the time, so that concurrent writers never share one.
bool temporary_name(const char* path, PathText& name)
{
    static unsigned counter = 0;  // only touched with the interpreter lock held
    FolderAndName parts = split_path(path);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return name.format("%.*s.%s.%ld.%u.%lx.tmp", static_cast<int>(parts.folder_length), path, parts.name(),
                       static_cast<long>(::getpid()), counter++, static_cast<unsigned long>(now.tv_nsec));
}

}  // namespace

bool look_at(Borrowed path, Existing& existing, Ref& content)
{
    content = nullptr;
    // Non-blocking, so that a FIFO at this path cannot hold the write up.
    FileDescriptor fd(::open(path_of(path), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        existing = errno == ENOENT ? Existing::missing : Existing::unreadable;
        return true;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) < 0) return raise_os_error(path_of(path));
    if (!S_ISREG(status.st_mode)) {
        existing = Existing::not_regular;
        return true;
    }
    // Sized from the file, grown if it grows while being read.
    Py_ssize_t capacity = status.st_size > 0 ? static_cast<Py_ssize_t>(status.st_size) + 1 : 4096;
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, capacity);
    if (bytes == nullptr) return false;
    Py_ssize_t size = 0;
    while (true) {
        if (size == capacity) {
            capacity *= 2;
            if (_PyBytes_Resize(&bytes, capacity) < 0) return false;
        }
        ssize_t got;
        Py_BEGIN_ALLOW_THREADS
        got = ::read(fd.get(), PyBytes_AS_STRING(bytes) + size, static_cast<std::size_t>(capacity - size));
        Py_END_ALLOW_THREADS
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            Py_DECREF(bytes);
            existing = Existing::unreadable;
            return true;
        }
        size += got;
    }
    if (_PyBytes_Resize(&bytes, size) < 0) return false;
    content = Ref(steal, bytes);
    existing = Existing::read;
    return true;
}

Ref read_text(Borrowed path)
{
    Existing existing;
    Ref content;
    if (!look_at(path, existing, content)) return nullptr;
    switch (existing) {
    case Existing::not_regular:
        return Ref(borrow, Py_None);
    case Existing::missing:
    case Existing::unreadable:
        raise_os_error(path_of(path));
        return nullptr;
    case Existing::read:
        break;
    }
    return Ref(steal, PyUnicode_DecodeUTF8(PyBytes_AS_STRING(content.ptr()), PyBytes_GET_SIZE(content.ptr()), nullptr));
}

bool set_aside(Borrowed path, Borrowed content)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    const long micros = static_cast<long>(now.tv_nsec / 1000);

    for (int attempt = 0;; ++attempt) {
        PathText aside;
        bool named = attempt == 0 ? aside.format("%s.unreadable-%s.%06ldZ", path_of(path), stamp, micros)
                                  : aside.format("%s.unreadable-%s.%06ldZ-%d", path_of(path), stamp, micros, attempt);
        if (!named) return false;
        if (content) {
            if (write_private_file(aside.get(), content)) return true;
            if (!PyErr_ExceptionMatches(PyExc_FileExistsError) || attempt >= 100) return false;
            PyErr_Clear();
            continue;
        }
        // Unreadable bytes cannot be copied; the file itself moves aside.
        if (::access(aside.get(), F_OK) == 0 && attempt < 100) continue;
        FileDescriptor moved(::open(path_of(path), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (::rename(path_of(path), aside.get()) < 0) return raise_os_error(path_of(path));
        make_private(moved, aside.get());
        return true;
    }
}

FileDescriptor replace(Borrowed path, Borrowed data)
{
    const char* target = path_of(path);
    PathText temporary;
    if (!temporary_name(target, temporary)) return FileDescriptor();
    FileDescriptor written = write_private_file(temporary.get(), data);
    if (!written) return written;
    if (::rename(temporary.get(), target) < 0) {
        raise_os_error(target);
        ::unlink(temporary.get());
        return FileDescriptor();
    }
    sync_folder(target);
    remove_stale_temporaries(target);
    return written;
}

bool set_mode(const FileDescriptor& file, int mode, Borrowed path)
{
    if (::fchmod(file.get(), static_cast<mode_t>(mode)) < 0) return raise_os_error(path_of(path));
    return true;
}

FileDescriptor::~FileDescriptor()
{
    if (fd_ >= 0) ::close(fd_);
}

int FileDescriptor::close() { return ::close(std::exchange(fd_, -1)); }

/* ---------------------------------------------------------------------------
 * The store lock
 * ------------------------------------------------------------------------ */

namespace {

// The lock files this thread holds, so that an operation re-entered on the
// same thread (from a subclass's override or a credential backend's
// callback) goes on instead of waiting for itself until it times out.
struct HeldLock {
    dev_t device;
    ino_t inode;
};
constexpr int max_held_locks = 8;
thread_local HeldLock held_locks[max_held_locks];
thread_local int held_lock_count = 0;

bool held_by_this_thread(const struct stat& status)
{
    for (int i = 0; i < held_lock_count; ++i) {
        if (held_locks[i].device == status.st_dev && held_locks[i].inode == status.st_ino) return true;
    }
    return false;
}

double monotonic_seconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Sleeps without the interpreter lock, so that other threads run meanwhile;
// false with the exception of a signal handler (Ctrl-C) raised.
bool pause_for(long nanoseconds)
{
    timespec delay{0, nanoseconds};
    Py_BEGIN_ALLOW_THREADS
    ::nanosleep(&delay, nullptr);
    Py_END_ALLOW_THREADS
    return PyErr_CheckSignals() == 0;
}

}  // namespace

StoreLock::Outcome StoreLock::acquire(Borrowed lock_path, double seconds)
{
    const char* path = path_of(lock_path);
    const double deadline = monotonic_seconds() + seconds;
    // Polled rather than waited for in the kernel, whose wait cannot be
    // bounded: short pauses first, since a holder is usually done within a
    // millisecond, growing to a few milliseconds under long contention.
    long pause = 50'000;
    while (true) {
        // O_NONBLOCK: a FIFO put in its place must not hold the open up.
        FileDescriptor file(::open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        if (!file) {
            if (errno == EINTR) continue;
            raise_os_error(path);
            return Outcome::failed;
        }
        struct stat opened {};
        if (::fstat(file.get(), &opened) < 0) {
            raise_os_error(path);
            return Outcome::failed;
        }
        if (held_by_this_thread(opened)) return Outcome::held;
        while (::flock(file.get(), LOCK_EX | LOCK_NB) < 0) {
            if (errno == ENOLCK || errno == EOPNOTSUPP) return Outcome::unlocked;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                raise_os_error(path);
                return Outcome::failed;
            }
            if (monotonic_seconds() >= deadline) return Outcome::timed_out;
            if (!pause_for(pause)) return Outcome::failed;
            pause = pause < 5'000'000 ? pause * 2 : pause;
        }
        // Someone may have removed or replaced the lock file while this one
        // waited; a lock on a file nobody else opens excludes no one.
        struct stat current {};
        if (::lstat(path, &current) == 0 && current.st_dev == opened.st_dev && current.st_ino == opened.st_ino) {
            file_ = std::move(file);
            device_ = opened.st_dev;
            inode_ = opened.st_ino;
            if (held_lock_count < max_held_locks) held_locks[held_lock_count++] = {device_, inode_};
            return Outcome::held;
        }
    }
}

StoreLock::~StoreLock()
{
    if (!file_) return;
    for (int i = 0; i < held_lock_count; ++i) {
        if (held_locks[i].device == device_ && held_locks[i].inode == inode_) {
            held_locks[i] = held_locks[--held_lock_count];
            break;
        }
    }
    // Closing the only descriptor of this open file releases the lock.
}

}  // namespace credarium::files
