// The store's file layer on POSIX systems: Linux, macOS and the BSDs.
//
// Paths are the bytes of os.fsencode. Files are opened with O_CLOEXEC and
// O_NONBLOCK where a FIFO could stand in their place, never through a
// symbolic link where the store creates or changes them, and every change of
// mode goes through a descriptor or refuses to follow a link.
#include "files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace credarium::files {

using namespace frame;

const char* const plain_path_class = "PosixPath";
// Secret Service, the macOS keychain and the other POSIX backends match
// names exactly.
const bool credential_names_ignore_case = false;

namespace {

const char* bytes_of(const NativePath& path) { return PyBytes_AS_STRING(path.native().ptr()); }

bool raise_os_error(const NativePath& path)
{
    int saved = errno;
    Ref name = path.text();
    errno = saved;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name ? name.ptr() : nullptr);
    return false;
}

// A file-system path made from a format, for the names next to
// accounts.json. A path too long for the system is refused as the system
// would refuse it.
class PathText {
public:
    ZORVAN_GNU(format(printf, 2, 3)) bool format(const char* pattern, ...)
    {
        va_list arguments;
        va_start(arguments, pattern);
        int length = std::vsnprintf(text_, sizeof text_, pattern, arguments);
        va_end(arguments);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof text_) {
            errno = ENAMETOOLONG;
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, text_);
            return false;
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

int descriptor(const File& file) { return static_cast<int>(file.handle()); }

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

// Makes the data of `fd` durable. fsync alone reaches only the drive's
// cache on macOS, where F_FULLFSYNC asks the drive to write it out; file
// systems that do not know F_FULLFSYNC get fsync.
int sync_to_disk(int fd)
{
    int result;
    Py_BEGIN_ALLOW_THREADS
#ifdef F_FULLFSYNC
    result = ::fcntl(fd, F_FULLFSYNC);
    if (result != 0) result = ::fsync(fd);
#else
    result = ::fsync(fd);
#endif
    Py_END_ALLOW_THREADS
    return result;
}

// Writes `data` into the new file `fd` from its start, cuts it there (a
// reservation may have made it longer) and flushes it to disk. False with
// errno set, or with an interrupt's exception raised.
bool write_file(int fd, Borrowed data)
{
    const Py_ssize_t size = PyBytes_GET_SIZE(data.ptr());
    return ::lseek(fd, 0, SEEK_SET) == 0 && write_all(fd, PyBytes_AS_STRING(data.ptr()), size) &&
           ::ftruncate(fd, static_cast<off_t>(size)) == 0 && sync_to_disk(fd) == 0;
}

// A new file that nobody else can read, from its creation on.
File create_private(const char* path)
{
    return File(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
}

// Makes the file that was renamed from the store's path to `now_at` as
// private as a copy would be. Best effort, and only while `now_at` still
// holds that very regular file (`moved`): never a link's target, never
// something swapped in meanwhile. The change goes through a descriptor, or,
// for a file its owner cannot open, through fchmodat refusing links; where
// that is not supported (older C libraries) the mode is left alone.
void make_private(const struct stat& moved, const char* now_at)
{
    if (!S_ISREG(moved.st_mode)) return;
    auto same_file = [&](const struct stat& other) {
        return S_ISREG(other.st_mode) && other.st_dev == moved.st_dev && other.st_ino == moved.st_ino;
    };
    for (int access : {O_RDONLY, O_WRONLY}) {
        File file(::open(now_at, access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!file) continue;
        struct stat status {};
        if (::fstat(descriptor(file), &status) == 0 && same_file(status)) ::fchmod(descriptor(file), 0600);
        return;
    }
    struct stat status {};
    if (::lstat(now_at, &status) == 0 && same_file(status)) {
        ::fchmodat(AT_FDCWD, now_at, 0600, AT_SYMLINK_NOFOLLOW);
    }
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
    File fd(::open(parts.folder_length ? folder.get() : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return;
    Py_BEGIN_ALLOW_THREADS
    ::fsync(descriptor(fd));
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

Ref bytes_path(const char* path) { return Ref(steal, PyBytes_FromString(path)); }

// Spreads every bit of `value` over the result (SplitMix64's finaliser).
std::uint64_t mixed(std::uint64_t value)
{
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9u;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebu;
    return value ^ (value >> 31);
}

struct LineName {
    char text[32];
};

// The name of the waiting line of `lock_file` for this user, the same in
// every process: "/zorvan-lock-" and 16 hex digits, within the 30
// characters macOS takes. Another user's line has another name.
LineName line_name(const os::FileIdentity& lock_file)
{
    const auto user = static_cast<std::uint64_t>(::geteuid());
    const std::uint64_t hash = mixed(mixed(mixed(lock_file.volume) ^ lock_file.index) ^ user);
    LineName name{};
    std::snprintf(name.text, sizeof name.text, "/zorvan-lock-%016llx", static_cast<unsigned long long>(hash));
    return name;
}

// Whether the shared memory object of `status` may hold this user's line:
// this user's, and writable by no one else. Where the system says what it
// is (Linux's /dev/shm is a folder like any other), a regular object;
// macOS tells only the permission bits of its objects.
bool usable_line(const struct stat& status)
{
    const mode_t type = status.st_mode & S_IFMT;
    return (type == S_IFREG || type == 0) && status.st_uid == ::geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

#ifdef __APPLE__
// macOS sizes a shared memory object once, with memory behind it from then
// on; a second sizing fails, and the size found afterwards tells.
bool give_line_room(int fd, off_t, off_t size)
{
    ::ftruncate(fd, size);
    return true;
}
#else
// Allocated, not a hole: a page that a full /dev/shm cannot back would kill
// the process at its first write. Allocating never changes the bytes there
// already, which another process may be using.
bool give_line_room(int fd, off_t size_now, off_t size)
{
    int error;
    do {
        error = ::posix_fallocate(fd, 0, size);
    } while (error == EINTR);
    if (error != EOPNOTSUPP && error != ENOTSUP && error != EINVAL && error != ENODEV) return error == 0;
    // No allocation call here: the missing bytes are written, past the end
    // only. Two processes extending a new line at once may clear each
    // other's first ticket, which costs a stall at most.
    static const char zeros[4096] = {};
    const auto missing = static_cast<std::size_t>(size - size_now);
    return missing <= sizeof zeros && ::pwrite(fd, zeros, missing, size_now) == static_cast<ssize_t>(missing);
}
#endif

}  // namespace

/* ---------------------------------------------------------------------------
 * Paths and open files
 * ------------------------------------------------------------------------ */

bool NativePath::assign(Borrowed path_object)
{
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path_object, &encoded)) return false;
    native_ = Ref(steal, encoded);
    return true;
}

NativePath NativePath::with_suffix(const char* suffix) const
{
    NativePath result;
    result.native_ = Ref(steal, PyBytes_FromFormat("%s%s", PyBytes_AS_STRING(native_.ptr()), suffix));
    return result;
}

Ref NativePath::text() const
{
    return Ref(steal, PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(native_.ptr()),
                                                       PyBytes_GET_SIZE(native_.ptr())));
}

bool File::close()
{
    if (handle_ == -1) return true;
    return ::close(static_cast<int>(std::exchange(handle_, -1))) == 0;
}

/* ---------------------------------------------------------------------------
 * The metadata file
 * ------------------------------------------------------------------------ */

bool look_at(const NativePath& path, Existing& existing, Ref& content)
{
    content = nullptr;
    // Non-blocking, so that a FIFO at this path cannot hold the write up.
    File file(::open(bytes_of(path), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file) {
        existing = errno == ENOENT ? Existing::missing : Existing::unreadable;
        return true;
    }
    struct stat status {};
    if (::fstat(descriptor(file), &status) < 0) return raise_os_error(path);
    if (!S_ISREG(status.st_mode)) {
        existing = Existing::not_regular;
        return true;
    }
    // Sized from the file, grown if it grows while being read.
    BytesWriter bytes(status.st_size > 0 ? static_cast<Py_ssize_t>(status.st_size) + 1 : 4096);
    if (!bytes) return false;
    Py_ssize_t size = 0;
    while (true) {
        if (size == bytes.size() && !bytes.resize(2 * size)) return false;
        ssize_t got;
        Py_BEGIN_ALLOW_THREADS
        got = ::read(descriptor(file), bytes.data() + size, static_cast<std::size_t>(bytes.size() - size));
        Py_END_ALLOW_THREADS
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            existing = Existing::unreadable;
            return true;
        }
        size += got;
    }
    content = bytes.finish(size);
    if (!content) return false;
    existing = Existing::read;
    return true;
}

Ref read_text(const NativePath& path)
{
    Existing existing;
    Ref content;
    if (!look_at(path, existing, content)) return nullptr;
    switch (existing) {
    case Existing::not_regular:
        return Ref(borrow, Py_None);
    case Existing::missing:
    case Existing::unreadable:
        raise_os_error(path);
        return nullptr;
    case Existing::read:
        break;
    }
    return Ref(steal, PyUnicode_DecodeUTF8(PyBytes_AS_STRING(content.ptr()), PyBytes_GET_SIZE(content.ptr()), nullptr));
}

Ref encode_text(Borrowed text) { return Ref(steal, PyUnicode_AsUTF8String(text)); }

bool set_aside(const NativePath& path, Borrowed content)
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
        bool named = attempt == 0 ? aside.format("%s.unreadable-%s.%06ldZ", bytes_of(path), stamp, micros)
                                  : aside.format("%s.unreadable-%s.%06ldZ-%d", bytes_of(path), stamp, micros, attempt);
        if (!named) return false;
        if (content) {
            File copy = create_private(aside.get());
            if (!copy) {
                if (errno == EEXIST && attempt < 100) continue;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, bytes_path(aside.get()).ptr());
                return false;
            }
            if (!write_file(descriptor(copy), content)) {
                if (!PyErr_Occurred()) PyErr_SetFromErrnoWithFilename(PyExc_OSError, aside.get());
                ::unlink(aside.get());
                return false;
            }
            return true;
        }
        // Unreadable bytes cannot be copied; the file itself moves aside.
        if (::access(aside.get(), F_OK) == 0 && attempt < 100) continue;
        struct stat moved {};
        bool known = ::lstat(bytes_of(path), &moved) == 0;
        if (::rename(bytes_of(path), aside.get()) < 0) return raise_os_error(path);
        if (known) make_private(moved, aside.get());
        return true;
    }
}

File replace(const NativePath& path, Borrowed data)
{
    const char* target = bytes_of(path);
    File written;
    NativePath temporary;
    if (!os::ready_to_replace(path)) return written;
    if (Reservation* reserved = Reservation::find(path)) {
        written = std::move(reserved->file_);
        temporary = reserved->temporary_;
        reserved->forget();
    } else {
        written = os::create_temporary(path, temporary);
        if (!written) return written;
    }
    if (!write_file(descriptor(written), data)) {
        if (!PyErr_Occurred()) raise_os_error(path);
        written.close();
        ::unlink(bytes_of(temporary));
        return File();
    }
    if (::rename(bytes_of(temporary), target) < 0) {
        raise_os_error(path);
        written.close();
        ::unlink(bytes_of(temporary));
        return File();
    }
    sync_folder(target);
    remove_stale_temporaries(target);
    return written;
}

bool set_mode(const File& file, int mode, const NativePath& path)
{
    if (::fchmod(descriptor(file), static_cast<mode_t>(mode)) < 0) return raise_os_error(path);
    return true;
}

/* ---------------------------------------------------------------------------
 * Primitives of the parts written once
 * ------------------------------------------------------------------------ */

namespace os {

File create_temporary(const NativePath& target, NativePath& temporary)
{
    PathText name;
    if (!temporary_name(bytes_of(target), name)) return File();
    File file = create_private(name.get());
    if (!file) {
        raise_os_error(target);
        return file;
    }
    Ref native = bytes_path(name.get());
    if (!native || !temporary.assign(native)) {
        file.close();
        ::unlink(name.get());
        return File();
    }
    return file;
}

bool ready_to_replace(const NativePath& path)
{
    // Nothing there, or nothing to be told here: the write meets it.
    struct stat status {};
    if (::lstat(bytes_of(path), &status) < 0 || S_ISREG(status.st_mode) || S_ISLNK(status.st_mode)) return true;
    // A FIFO, socket or device otherwise. No error number means "not a
    // regular file" everywhere (EFTYPE is the BSDs' own); ENOTSUP says that
    // the store does not write over such a thing, and the name says where.
    errno = S_ISDIR(status.st_mode) ? EISDIR : ENOTSUP;
    return raise_os_error(path);
}

bool allocate(const File& file, std::int64_t bytes, const NativePath& target)
{
    if (bytes <= 0) return true;
    int error;
    Py_BEGIN_ALLOW_THREADS
#ifdef __APPLE__
    error = EOPNOTSUPP;
#else
    do {
        error = ::posix_fallocate(descriptor(file), 0, static_cast<off_t>(bytes));
    } while (error == EINTR);
#endif
    if (error == EOPNOTSUPP || error == ENOTSUP || error == EINVAL) {
        // No allocation call here (macOS, some file systems): the space is
        // taken by writing it, which the data later writes over.
        static const char zeros[4096] = {};
        error = 0;
        for (std::int64_t at = 0; at < bytes && error == 0;) {
            std::size_t chunk = bytes - at < 4096 ? static_cast<std::size_t>(bytes - at) : sizeof zeros;
            ssize_t written = ::pwrite(descriptor(file), zeros, chunk, static_cast<off_t>(at));
            if (written > 0) at += written;
            else if (written < 0 && errno != EINTR) error = errno;
        }
    }
    Py_END_ALLOW_THREADS
    if (error == 0) return true;
    errno = error;
    return raise_os_error(target);
}

void remove_file(const NativePath& path) { ::unlink(bytes_of(path)); }

std::int64_t size_at(const NativePath& path)
{
    struct stat status {};
    return ::stat(bytes_of(path), &status) == 0 && S_ISREG(status.st_mode) ? status.st_size : 0;
}

File open_lock_file(const NativePath& path)
{
    // O_NONBLOCK: a FIFO put in its place must not hold the open up. A lock
    // file that can only be read (a read-only folder or file system) still
    // locks: flock takes a descriptor opened for reading, except where NFS
    // turns it into a lock of bytes, which wants one opened for writing.
    const int flags = O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    while (true) {
        File file(::open(bytes_of(path), O_RDWR | flags, 0600));
        if (!file && (errno == EACCES || errno == EROFS || errno == EPERM)) {
            file = File(::open(bytes_of(path), O_RDONLY | flags, 0600));
        }
        if (file) return file;
        if (errno == EINTR) continue;
        raise_os_error(path);
        return file;
    }
}

bool identity_of(const File& file, const NativePath& path, FileIdentity& identity)
{
    struct stat status {};
    if (::fstat(descriptor(file), &status) < 0) return raise_os_error(path);
    identity = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
    return true;
}

bool identity_at(const NativePath& path, FileIdentity& identity)
{
    struct stat status {};
    if (::lstat(bytes_of(path), &status) < 0) return false;
    identity = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
    return true;
}

Attempt try_lock(const File& file, const NativePath& path)
{
    // flock belongs to the open file, not to the process: two threads with
    // their own opens exclude each other, as on macOS and the BSDs.
    if (::flock(descriptor(file), LOCK_EX | LOCK_NB) == 0) return Attempt::locked;
    // ENOTSUP and EOPNOTSUPP are one number on Linux, two on macOS.
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOTSUP) return Attempt::unsupported;
    if (errno == EWOULDBLOCK || errno == EINTR) return Attempt::busy;
    raise_os_error(path);
    return Attempt::failed;
}

const bool lines_outlive_their_users = true;

// The mapping keeps the object, and its name stays until it is removed: the
// descriptor is closed at once.
void* map_line(const FileIdentity& lock_file, std::size_t size, bool create, File&)
{
    File line(::shm_open(line_name(lock_file).text, create ? O_RDWR | O_CREAT : O_RDWR, 0600));
    if (!line) return nullptr;
    const auto length = static_cast<off_t>(size);
    struct stat status {};
    if (::fstat(descriptor(line), &status) < 0 || !usable_line(status)) return nullptr;
    if (status.st_size < length) {
        if (!give_line_room(descriptor(line), status.st_size, length) || ::fstat(descriptor(line), &status) < 0 ||
            status.st_size < length) {
            return nullptr;
        }
    }
    void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor(line), 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

void unmap_line(void* memory, std::size_t size) { ::munmap(memory, size); }

void remove_line(const FileIdentity& lock_file) { ::shm_unlink(line_name(lock_file).text); }

std::uint64_t current_process() { return static_cast<std::uint64_t>(::getpid()); }

bool process_alive(std::uint64_t process)
{
    // EPERM: it runs, under another user. What cannot be a process id (a
    // damaged line) counts as running rather than naming a process group.
    if (process > static_cast<std::uint64_t>(INT_MAX)) return true;
    return ::kill(static_cast<pid_t>(process), 0) == 0 || errno != ESRCH;
}

double monotonic_seconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void sleep_seconds(double seconds)
{
    const auto whole = static_cast<time_t>(seconds);
    timespec delay{whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
    ::nanosleep(&delay, nullptr);
}

void close_locks_in_forked_children() { ::pthread_atfork(nullptr, nullptr, release_inherited_locks); }

}  // namespace os

}  // namespace credarium::files
