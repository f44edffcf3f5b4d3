// The store's files on disk: everything credarium.cpp asks of the operating
// system, as a few named operations.
//
// Each operation is declared once here and implemented once per OS family,
// in files_posix.cpp and files_windows.cpp; the build compiles the one for
// its target, and no body switches on the platform. What is the same
// everywhere (the store lock's queue, the room kept for the next write) is
// written once, in files.cpp, over the primitives at the end of this header.
//
// The metadata file is never rewritten in place: the new content goes to a
// private temporary file next to it, which is flushed to disk and then moved
// over the old one. A crash, a full disk or a kill leaves either the old
// file or the new one, never a truncated mix.
#pragma once

#include "frame/frame.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace credarium::files {

// ---------------------------------------------------------------------------
// Facts about the platform, read by the bodies as plain values
// ---------------------------------------------------------------------------

// The name of pathlib's concrete class here: "PosixPath" or "WindowsPath".
extern const char* const plain_path_class;

// Whether the credential manager compares entry names regardless of case,
// so that two account names differing only in case would share an entry.
extern const bool credential_names_ignore_case;

// ---------------------------------------------------------------------------
// Paths and open files
// ---------------------------------------------------------------------------

// A file-system path in the form this system's calls take it: bytes made by
// os.fsencode on POSIX, the str itself (for the UTF-16 calls) on Windows.
class NativePath {
public:
    // From a path object, as os.fspath gives it; false with the error raised.
    bool assign(frame::Borrowed path_object);
    // This path with `suffix` (ASCII) appended; empty with the error raised.
    NativePath with_suffix(const char* suffix) const;
    // The path as str, for exceptions and messages.
    frame::Ref text() const;

    frame::Borrowed native() const { return native_; }
    explicit operator bool() const { return static_cast<bool>(native_); }

private:
    frame::Ref native_;
};

// An open file, closed at the end of its scope. The handle is the system's
// own: a descriptor on POSIX, a HANDLE on Windows; -1 means none on both.
class File {
public:
    File() = default;
    explicit File(std::intptr_t handle) : handle_(handle) {}
    File(File&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
    File& operator=(File&& other) noexcept
    {
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~File() { close(); }

    std::intptr_t handle() const { return handle_; }
    explicit operator bool() const { return handle_ != -1; }
    // Closes now; false when the system reports an error on closing.
    bool close();

private:
    std::intptr_t handle_ = -1;
};

// ---------------------------------------------------------------------------
// The metadata file
// ---------------------------------------------------------------------------

// What stands at the metadata file's path before a write.
enum class Existing {
    missing,      // nothing there
    not_regular,  // a directory, FIFO, socket or device: nothing to read
    unreadable,   // a regular file whose bytes cannot be read
    read,         // a regular file, read into `content`
};

// Looks at `path` without blocking on a FIFO. False with an OSError raised
// only for failures other than those above.
bool look_at(const NativePath& path, Existing& existing, frame::Ref& content);

// The text of the file at `path` decoded as strict UTF-8, as pathlib's
// read_text(encoding="utf-8") gives it to a JSON parser; None when something
// other than a regular file stands there (a FIFO would otherwise block the
// read forever). Null with OSError or UnicodeDecodeError raised.
frame::Ref read_text(const NativePath& path);

// `text` as the bytes a text-mode write puts on disk: UTF-8, with this
// platform's line breaks (CR LF on Windows, LF elsewhere).
frame::Ref encode_text(frame::Borrowed text);

// Sets an existing file aside under a sibling name that says what it is and
// when it was set aside: "<path>.unreadable-<UTC time>". `content` holds its
// bytes, or is null when they could not be read (the file is then moved
// aside instead of copied). The copy is private to the user.
bool set_aside(const NativePath& path, frame::Borrowed content);

// Room for the next replace() of one file, taken before a change does
// anything that cannot be undone: what stands at the path is checked
// (os::ready_to_replace), the temporary file is created, and as much disk
// space as the file takes now, and `extra_bytes` more, is allocated to it,
// so that something a new file must not replace, a folder that cannot be
// written or a disk that is full fails the change first. The reservation
// stays with this thread until it is used by replace() or goes out of scope
// (which removes the temporary file); a nested reservation of the same file
// is used first.
class Reservation {
public:
    Reservation() = default;
    ~Reservation();
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;

    // False with the OSError raised, naming `path`; nothing is left behind.
    bool reserve(const NativePath& path, std::int64_t extra_bytes);

private:
    friend File replace(const NativePath& path, frame::Borrowed data);
    // This thread's unused reservation for `path`, most recent first, or null.
    static Reservation* find(const NativePath& path);
    void forget();

    NativePath target_;
    NativePath temporary_;
    File file_;
    Reservation* outer_ = nullptr;  // the reservation made before this one on this thread
    bool listed_ = false;
};

// Replaces the file at `path` with `data` (bytes) through a private
// temporary file in the same folder (this thread's reservation for `path` if
// there is one), flushed to disk before it is moved over the old file. Gives
// back the new file still open, so that its mode is set on that very file
// rather than on whatever stands at the path by then. On failure (a closed
// file) the temporary file is removed, the old file is left as it was and
// the OSError is raised.
File replace(const NativePath& path, frame::Borrowed data);

// The mode change of `path`'s chmod, made through the open file: 0o600 and
// the like on POSIX; on Windows only the owner-write bit counts, as for
// os.chmod there (it clears or sets the read-only attribute). False with the
// OSError raised, naming `path`.
bool set_mode(const File& file, int mode, const NativePath& path);

// ---------------------------------------------------------------------------
// Primitives of the parts written once (files.cpp), one set per OS family
// ---------------------------------------------------------------------------

namespace os {

// A new private file next to `target`, under a name that no other writer
// uses, in `temporary`. Null with the OSError raised, naming `target`.
File create_temporary(const NativePath& target, NativePath& temporary);

// Whether a new file may take the place of what stands at `path`: nothing,
// a regular file, or a symbolic link (replaced itself, whatever it points
// to). A directory is refused as the rename would refuse it
// (IsADirectoryError; access denied on Windows), and so is a FIFO, socket or
// device, which a rename would silently put out of reach of whoever uses it.
// On Windows this also waits a bounded time until no process holds the file
// without sharing its deletion. False with the OSError raised, naming `path`.
bool ready_to_replace(const NativePath& path);

// Allocates `bytes` of disk space to `file`, whose content is still to be
// written. False with the OSError raised, naming `target`.
bool allocate(const File& file, std::int64_t bytes, const NativePath& target);

// Removes the file at `path`; best effort, no error is raised.
void remove_file(const NativePath& path);

// The size of the regular file at `path`, or 0.
std::int64_t size_at(const NativePath& path);

// Which file an open file is: the same pair means the same file.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

enum class Attempt { locked, busy, unsupported, failed };

// Opens the lock file at `path`, creating it private to the user, never
// through a symbolic link and never blocking on a FIFO: for reading and
// writing where possible (some network file systems lock only such files),
// else for reading only. Null with the OSError raised.
File open_lock_file(const NativePath& path);

// The identity of an open file; false with the OSError raised.
bool identity_of(const File& file, const NativePath& path, FileIdentity& identity);

// The identity of what stands at `path` now, without following a link;
// false when nothing can be found there (no error is raised).
bool identity_at(const NativePath& path, FileIdentity& identity);

// One try at the exclusive lock of `file`, without waiting. `failed` comes
// with the OSError raised, naming `path`.
Attempt try_lock(const File& file, const NativePath& path);

// The waiting line of the lock file `lock_file`: `size` bytes of memory
// that every process of this user waiting on that file maps, all zero bytes
// when new. It lives outside the lock file (a POSIX shared memory object, a
// section backed by the paging file on Windows), so that nothing done to the
// file can take it away from under a process that maps it; its memory is
// allocated before it is mapped, so that a full disk or /dev/shm fails the
// mapping rather than a write to the line. An existing line only, unless
// `create`. Null when there is none or it cannot be used (another user's,
// too small): the lock is then simply polled. No error is raised. `keeper`
// is given what keeps the line findable by its name while it is mapped (on
// Windows the section's handle: a named object loses its name with its
// last handle, whatever views of it remain), to be closed once unmapped.
void* map_line(const FileIdentity& lock_file, std::size_t size, bool create, File& keeper);
void unmap_line(void* memory, std::size_t size);

// Whether a line stays until it is removed (POSIX) rather than vanishing
// with its last user (Windows).
extern const bool lines_outlive_their_users;

// Removes the name of the line of `lock_file`, so that the next
// map_line(create) makes a new line; whoever maps the old one keeps it.
// Best effort, no error is raised.
void remove_line(const FileIdentity& lock_file);

// This process's id, and whether the process of such an id still runs
// (an id that cannot be checked counts as running).
std::uint64_t current_process();
bool process_alive(std::uint64_t process);

// Seconds on a clock that never goes back.
double monotonic_seconds();

// Sleeps; called with the interpreter lock released.
void sleep_seconds(double seconds);

// Has release_inherited_locks() run in every child made by fork() from now
// on; does nothing where there is no fork().
void close_locks_in_forked_children();

}  // namespace os

// ---------------------------------------------------------------------------
// The store lock
// ---------------------------------------------------------------------------

// The waiting line of a lock file, in the memory of os::map_line (files.cpp).
struct Queue;

// An exclusive lock on "<metadata file>.lock", held by one change from
// acquire() to the end of its scope. Threads exclude each other as processes
// do; the system drops the lock of a process that dies, and a child made by
// fork() never holds its parent's. A thread that already holds the lock of
// that file (a change re-entered from a callback) goes on without waiting
// for itself. Waiters are served roughly in the order they came, and a wait
// times out only when the lock has not changed hands for the whole bound.
class StoreLock {
public:
    enum class Outcome {
        held,       // locked, or already held by this thread
        unlocked,   // the file system cannot lock: go on as before locks
        timed_out,  // the lock did not change hands for the whole wait
        failed,     // an OSError (naming the lock file) or an interrupt is raised
    };

    StoreLock() = default;
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    // Opens (creating it, private to the user, never through a symbolic
    // link) and locks the lock file of the metadata file `path`, waiting up
    // to `seconds` without a change of holder, with the interpreter lock
    // released meanwhile.
    Outcome acquire(const NativePath& path, double seconds);

    // The lock file's path as str, for the timeout's error.
    frame::Ref lock_file_name() const { return lock_path_.text(); }

private:
    friend void release_inherited_locks();
    static bool held_by_this_thread(const os::FileIdentity& identity);
    bool line_empty();
    void join_line();
    bool take_ticket();
    void remove_line_if_current();
    void leave_line();
    void unmap_line();
    void take_out_of_turn(std::uint64_t stalled);
    Outcome wait_for_turn(double seconds);
    void release();

    NativePath lock_path_;
    File file_;                      // open from before the wait to the end
    os::FileIdentity identity_;
    Queue* queue_ = nullptr;         // shared by every process waiting on this lock file
    File line_keeper_;               // keeps queue_ findable by its name
    std::uint64_t ticket_ = 0;       // this change's place in the queue
    bool held_ = false;
    unsigned long thread_ = 0;       // the thread holding it
    StoreLock* next_open_ = nullptr;  // the process's other open lock files
};

// Called in a child made by fork(): closes the child's copies of the lock
// files its parent holds or waits for, without unlocking them for the
// parent.
void release_inherited_locks();

}  // namespace credarium::files
