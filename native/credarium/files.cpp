#include "files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
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

// Closes a file descriptor at the end of its scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now, reporting the error a delayed write may surface here.
    int close() { return ::close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

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

// Writes a new file that nobody else can read, from its creation on.
bool write_private_file(const std::string& path, Borrowed data, bool durable)
{
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) return raise_os_error(path.c_str());
    bool ok = write_all(fd.get(), PyBytes_AS_STRING(data.ptr()), PyBytes_GET_SIZE(data.ptr()));
    if (ok && durable) {
        int synced;
        Py_BEGIN_ALLOW_THREADS
        synced = ::fsync(fd.get());
        Py_END_ALLOW_THREADS
        ok = synced == 0;
    }
    int failure = errno;
    if (fd.close() != 0 && ok) {
        ok = false;
        failure = errno;
    }
    if (!ok) {
        if (!PyErr_Occurred()) {
            errno = failure;
            raise_os_error(path.c_str());
        }
        ::unlink(path.c_str());
    }
    return ok;
}

struct FolderAndName {
    std::string folder;  // with its trailing slash, or empty for the current folder
    std::string name;
};

FolderAndName split_path(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// Makes a rename in `folder` survive a power cut, not only a crash. Best
// effort: some file systems cannot sync a folder, and the file itself is
// already complete either way.
void sync_folder(const std::string& folder)
{
    FileDescriptor fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return;
    Py_BEGIN_ALLOW_THREADS
    ::fsync(fd.get());
    Py_END_ALLOW_THREADS
}

// Removes temporary files that killed writers left next to `path`: named
// after a process that no longer exists, and untouched for ten minutes, so
// that a writer still at work (in this process, another one, or one this
// process cannot see) never loses its file. Best effort.
void remove_stale_temporaries(const std::string& path)
{
    auto [folder, name] = split_path(path);
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return;
    const std::string prefix = "." + name + ".";
    const std::string suffix = ".tmp";
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        std::string candidate = entry->d_name;
        if (candidate.size() <= prefix.size() + suffix.size() || candidate.compare(0, prefix.size(), prefix) != 0 ||
            candidate.compare(candidate.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        char* end = nullptr;
        long pid = std::strtol(candidate.c_str() + prefix.size(), &end, 10);
        if (end == nullptr || *end != '.' || pid <= 0 || pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        struct stat status {};
        if (::fstatat(::dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(status.st_mode) || now - status.st_mtime < 600) continue;
        ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// A name next to `path` that nothing holds yet, made unique by the process,
// a counter and the time, so that concurrent writers never share one.
std::string temporary_name(const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    auto [folder, base] = split_path(path);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.%lx.tmp", static_cast<long>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned long>(now.tv_nsec));
    return folder + "." + base + suffix;
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
    std::string bytes;
    char buffer[65536];
    while (true) {
        ssize_t got;
        Py_BEGIN_ALLOW_THREADS
        got = ::read(fd.get(), buffer, sizeof buffer);
        Py_END_ALLOW_THREADS
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            existing = Existing::unreadable;
            return true;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    content = Ref(steal, PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    if (!content) return false;
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
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    std::string base = std::string(path_of(path)) + ".unreadable-" + stamp;
    char micros[32];
    std::snprintf(micros, sizeof micros, ".%06ldZ", static_cast<long>(now.tv_nsec / 1000));
    base += micros;

    for (int attempt = 0;; ++attempt) {
        std::string aside = attempt == 0 ? base : base + "-" + std::to_string(attempt);
        if (content) {
            if (write_private_file(aside, content, true)) return true;
            if (!PyErr_ExceptionMatches(PyExc_FileExistsError) || attempt >= 100) return false;
            PyErr_Clear();
            continue;
        }
        // Unreadable bytes cannot be copied; the file itself moves aside.
        if (::access(aside.c_str(), F_OK) == 0 && attempt < 100) continue;
        if (::rename(path_of(path), aside.c_str()) < 0) return raise_os_error(path_of(path));
        ::chmod(aside.c_str(), 0600);  // as private as the copy would be; best effort
        return true;
    }
}

bool replace(Borrowed path, Borrowed data)
{
    std::string target = path_of(path);
    std::string temporary = temporary_name(target);
    if (!write_private_file(temporary, data, true)) return false;
    if (::rename(temporary.c_str(), target.c_str()) < 0) {
        raise_os_error(target.c_str());
        ::unlink(temporary.c_str());
        return false;
    }
    sync_folder(split_path(target).folder);
    remove_stale_temporaries(target);
    return true;
}

}  // namespace credarium::files
