// The account metadata file on disk: safe replacement, and the lock that
// keeps writers of one store from undoing each other's changes.
//
// The file is never rewritten in place: the new content goes to a private
// temporary file next to it, which is flushed to disk and then renamed over
// the old one. A crash, a full disk or a kill leaves either the old file or
// the new one, never a truncated mix.
#pragma once

#include "frame/frame.hpp"

#include <sys/types.h>

#include <utility>

namespace credarium::files {

// An open file descriptor, closed at the end of its scope.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~FileDescriptor();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now, reporting the error a delayed write may surface here.
    int close();

private:
    int fd_ = -1;
};

// What stands at the metadata file's path before a write.
enum class Existing {
    missing,      // nothing there
    not_regular,  // a directory, FIFO, socket or device: nothing to read
    unreadable,   // a regular file whose bytes cannot be read
    read,         // a regular file, read into `content`
};

// Looks at `path` (a bytes file-system path) without blocking on a FIFO.
// False with an OSError raised only for failures other than those above.
bool look_at(frame::Borrowed path, Existing& existing, frame::Ref& content);

// The text of the file at `path` (bytes) decoded as strict UTF-8, as
// pathlib's read_text(encoding="utf-8") gives it to a JSON parser; None when
// something other than a regular file stands there (a FIFO would otherwise
// block the read forever). Null with OSError or UnicodeDecodeError raised.
frame::Ref read_text(frame::Borrowed path);

// Sets an existing file aside under a sibling name that says what it is and
// when it was set aside: "<path>.unreadable-<UTC time>". `content` holds its
// bytes, or is null when they could not be read (the file is then renamed
// aside instead of copied). The copy is created with mode 0600.
bool set_aside(frame::Borrowed path, frame::Borrowed content);

// Replaces the file at `path` with `data` (bytes) through a temporary file
// of mode 0600 in the same folder, fsynced before the rename. Gives back the
// new file still open, so that its mode can be set on that very file rather
// than on whatever stands at the path by then. On failure (a closed
// descriptor) the temporary file is removed, the old file is left as it was
// and the OSError is raised.
FileDescriptor replace(frame::Borrowed path, frame::Borrowed data);

// fchmod(file, mode); false with the OSError raised, naming `path`.
bool set_mode(const FileDescriptor& file, int mode, frame::Borrowed path);

// An exclusive advisory lock on a store's lock file, held by one operation
// from acquire() to the end of its scope. Threads exclude each other as
// processes do; the kernel drops the lock of a process that dies. A thread
// that already holds the lock of that file (an operation re-entered from a
// callback) goes on without waiting for itself.
class StoreLock {
public:
    enum class Outcome {
        held,       // locked, or already held by this thread
        unlocked,   // the file system cannot lock: go on as before locks
        timed_out,  // another holder kept it for the whole wait
        failed,     // an OSError (naming the lock file) or an interrupt is raised
    };

    StoreLock() = default;
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    // Opens (creating it with mode 0600, never through a symbolic link) and
    // locks the file at `lock_path` (bytes), waiting up to `seconds` with the
    // interpreter lock released.
    Outcome acquire(frame::Borrowed lock_path, double seconds);

private:
    FileDescriptor file_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace credarium::files
