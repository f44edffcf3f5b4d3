// The store's file layer on Windows.
//
// Paths are the str itself, handed to the UTF-16 calls in the "\\?\" form of
// the full path, so that neither a non-ASCII profile folder nor a path longer
// than 260 characters stands in the way. Only Win32 calls are used, never the
// C runtime's file functions or errno: the module's C runtime need not be the
// interpreter's, and an errno set by one is invisible to the other. Failures
// are OSError with winerror and the file's name, as the interpreter raises
// them itself.
//
// Files are opened with every sharing mode, so that the store never keeps
// out a reader, a scanner or another writer; what keeps two changes apart is
// the lock (LockFileEx), not the open. Others are less polite: a scanner, an
// indexer, a sync client or a reader without FILE_SHARE_DELETE (Python's
// open() never asks for it) makes a replace fail for a moment, so such
// failures are tried again for about two seconds.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include "files.hpp"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>

// Windows 10 1803 and later; older headers lack the names.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
#ifndef IO_REPARSE_TAG_AF_UNIX
#define IO_REPARSE_TAG_AF_UNIX 0x80000023L
#endif

namespace credarium::files {

using namespace frame;

const char* const plain_path_class = "WindowsPath";
// The Credential Manager matches target names regardless of case.
const bool credential_names_ignore_case = true;

namespace {

HANDLE handle_of(const File& file) { return reinterpret_cast<HANDLE>(file.handle()); }
File file_of(HANDLE handle) { return File(reinterpret_cast<std::intptr_t>(handle)); }

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Raises OSError for the Win32 `error`, naming `path`; false.
bool raise_windows_error(DWORD error, const NativePath& path)
{
    Ref name = path.text();
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, static_cast<int>(error), name.ptr());
    return false;
}

// A path as the UTF-16 calls take it: the full path in its "\\?\" form,
// which lifts the 260-character limit (GetFullPathNameW has already done
// what that form leaves undone: "/" to "\", "." and ".."). Null with the
// error raised.
class WidePath {
public:
    explicit WidePath(Borrowed text) { make(text); }
    explicit WidePath(const NativePath& path) { make(path.native()); }
    ~WidePath() { PyMem_Free(text_); }
    WidePath(const WidePath&) = delete;
    WidePath& operator=(const WidePath&) = delete;

    const wchar_t* get() const { return text_; }
    explicit operator bool() const { return text_ != nullptr; }

private:
    void make(Borrowed text);
    wchar_t* text_ = nullptr;
};

void WidePath::make(Borrowed text)
{
    if (!text) return;  // its making failed, with the error raised
    // Without a size, an embedded NUL is refused with ValueError.
    wchar_t* given = PyUnicode_AsWideCharString(text, nullptr);
    if (given == nullptr) return;
    if (std::wcsncmp(given, L"\\\\?\\", 4) == 0) {
        text_ = given;
        return;
    }
    constexpr DWORD room = 8;  // for "\\?\UNC\" in front
    DWORD needed = GetFullPathNameW(given, 0, nullptr, nullptr);
    wchar_t* full = needed == 0 ? nullptr : PyMem_New(wchar_t, needed + room);
    DWORD length = full == nullptr ? 0 : GetFullPathNameW(given, needed, full + room, nullptr);
    DWORD error = GetLastError();
    PyMem_Free(given);
    if (length == 0 || length >= needed) {
        PyMem_Free(full);
        if (needed != 0 && full == nullptr) PyErr_NoMemory();
        else PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, static_cast<int>(error), text.ptr());
        return;
    }
    wchar_t* path = full + room;
    if (std::wcsncmp(path, L"\\\\.\\", 4) == 0 || std::wcsncmp(path, L"\\\\?\\", 4) == 0) {
        // A device ("\\.\CON") stays as it is.
    } else if (path[0] == L'\\' && path[1] == L'\\') {
        path -= 6;  // "\\server\share" becomes "\\?\UNC\server\share"
        std::memcpy(path, L"\\\\?\\UNC", 7 * sizeof(wchar_t));
    } else {
        path -= 4;
        std::memcpy(path, L"\\\\?\\", 4 * sizeof(wchar_t));
    }
    std::memmove(full, path, (std::wcslen(path) + 1) * sizeof(wchar_t));
    text_ = full;
}

// Whether `error` is one that others holding the file cause for a moment.
bool is_transient(DWORD error, bool access_denied_too)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           (access_denied_too && error == ERROR_ACCESS_DENIED);
}

// How long a file held by someone else is waited for, in all.
constexpr double busy_seconds = 2.0;

// Calls `attempt` (which gives back a Win32 error, 0 for success) with the
// interpreter lock released, and again while it fails transiently, for
// about two seconds in all; between tries it sleeps, checking for Ctrl-C.
// Gives back the last error; `interrupted` with the exception raised.
template <typename Attempt>
DWORD while_busy(bool access_denied_too, bool& interrupted, Attempt attempt)
{
    const double deadline = os::monotonic_seconds() + busy_seconds;
    double pause = 0.5e-3;
    interrupted = false;
    while (true) {
        DWORD error;
        Py_BEGIN_ALLOW_THREADS
        error = attempt();
        Py_END_ALLOW_THREADS
        if (!is_transient(error, access_denied_too) || os::monotonic_seconds() + pause > deadline) return error;
        Py_BEGIN_ALLOW_THREADS
        os::sleep_seconds(pause);
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) {
            interrupted = true;
            return error;
        }
        // Short pauses: a reader holds the file for a millisecond or so, and
        // a replace must find the moment between two readers.
        pause = pause < 4e-3 ? pause * 2 : 4e-3;
    }
}

// Where the folder part of a path ends: after its last separator or drive
// colon, 0 for a bare name.
Py_ssize_t folder_length(Borrowed text)
{
    for (Py_ssize_t i = PyUnicode_GET_LENGTH(text.ptr()); i > 0; --i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), i - 1);
        if (c == '\\' || c == '/' || c == ':') return i;
    }
    return 0;
}

// Writes `data` into the new file from its start, cuts it there (a
// reservation may have made it longer) and flushes it to disk. False with
// `error` set, or with an interrupt's exception raised.
bool write_file(const File& file, Borrowed data, DWORD& error)
{
    const char* bytes = PyBytes_AS_STRING(data.ptr());
    Py_ssize_t size = PyBytes_GET_SIZE(data.ptr());
    bool done;
    Py_BEGIN_ALLOW_THREADS
    LARGE_INTEGER start{};
    done = SetFilePointerEx(handle_of(file), start, nullptr, FILE_BEGIN) != 0;
    while (done && size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        done = WriteFile(handle_of(file), bytes, chunk, &written, nullptr) != 0;
        bytes += written;
        size -= written;
    }
    // FlushFileBuffers is Windows' fsync: the data reaches the disk before
    // the file is moved over the old one.
    done = done && SetEndOfFile(handle_of(file)) && FlushFileBuffers(handle_of(file));
    error = done ? 0 : GetLastError();
    Py_END_ALLOW_THREADS
    return done;
}

// A new file at `path`, failing if anything stands there. The file takes
// the folder's permissions, which for the store's folder under the user's
// profile are the user's alone. It can be moved while open (it shares
// deletion) and keeps its handle afterwards; the handle itself has no right
// to delete, which readers that do not share deletion (Python's open())
// would otherwise meet as a sharing violation once it is accounts.json.
File create_new(const wchar_t* path)
{
    return file_of(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, share_all, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::int64_t ticks_now()
{
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

// Removes temporary files that killed writers left next to `path`: named
// after a process that no longer exists (OpenProcess), and untouched for ten
// minutes, so that a writer still at work, even one whose id came back to a
// new process, never loses its file. Best effort.
void remove_stale_temporaries(const NativePath& path)
{
    Borrowed text = path.native();
    const Py_ssize_t split = folder_length(text);
    Ref folder(steal, PyUnicode_Substring(text, 0, split));
    Ref name(steal, folder ? PyUnicode_Substring(text, split, PyUnicode_GET_LENGTH(text.ptr())) : nullptr);
    Ref pattern(steal, name ? PyUnicode_FromFormat("%U.%U.*.tmp", folder.ptr(), name.ptr()) : nullptr);
    Ref prefix(steal, pattern ? PyUnicode_FromFormat(".%U.", name.ptr()) : nullptr);
    wchar_t* wide_prefix = prefix ? PyUnicode_AsWideCharString(prefix, nullptr) : nullptr;
    WidePath wide_pattern(pattern);
    if (wide_prefix == nullptr || !wide_pattern) {
        PyMem_Free(wide_prefix);
        PyErr_Clear();
        return;
    }
    const std::size_t prefix_length = std::wcslen(wide_prefix);
    const std::int64_t now = ticks_now();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(wide_pattern.get(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found) != 0) {
        const wchar_t* candidate = found.cFileName;
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        if (std::wcsncmp(candidate, wide_prefix, prefix_length) != 0) continue;
        wchar_t* end = nullptr;
        unsigned long process = std::wcstoul(candidate + prefix_length, &end, 10);
        if (end == candidate + prefix_length || *end != L'.' || process == 0) continue;
        if (process == GetCurrentProcessId() || os::process_alive(process)) continue;
        const std::int64_t written = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
            found.ftLastWriteTime.dwLowDateTime);
        if (now - written < std::int64_t{600} * 10'000'000) continue;
        Ref stale(steal, PyUnicode_FromFormat("%U%ls", folder.ptr(), candidate));
        WidePath wide_stale(stale);
        if (wide_stale) DeleteFileW(wide_stale.get());
        PyErr_Clear();
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    PyMem_Free(wide_prefix);
}

// Opens what stands at `path` for reading, waiting a little for a file that
// someone holds without sharing it. Folders open too, to be told apart from
// files. Gives back the open file, or none with `error` set; false with
// an exception raised.
bool open_for_reading(const NativePath& path, File& file, DWORD& error)
{
    WidePath wide(path);
    if (!wide) return false;
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool interrupted = false;
    error = while_busy(false, interrupted, [&] {
        handle = CreateFileW(wide.get(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                             nullptr);
        return handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    });
    file = file_of(handle);
    return !interrupted;
}

// look_at, also telling the error that made a file missing or unreadable.
bool look(const NativePath& path, Existing& existing, Ref& content, DWORD& error)
{
    content = nullptr;
    File file;
    if (!open_for_reading(path, file, error)) return false;
    if (!file) {
        existing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Existing::missing
                                                                                   : Existing::unreadable;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION status{};
    if (GetFileType(handle_of(file)) != FILE_TYPE_DISK) {
        existing = Existing::not_regular;
        return true;
    }
    if (!GetFileInformationByHandle(handle_of(file), &status)) return raise_windows_error(GetLastError(), path);
    if (status.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        existing = Existing::not_regular;
        return true;
    }
    // Sized from the file, grown if it grows while being read.
    const std::uint64_t file_size = (static_cast<std::uint64_t>(status.nFileSizeHigh) << 32) | status.nFileSizeLow;
    BytesWriter bytes(file_size > 0 && file_size < static_cast<std::uint64_t>(PY_SSIZE_T_MAX / 2)
                          ? static_cast<Py_ssize_t>(file_size) + 1
                          : 4096);
    if (!bytes) return false;
    Py_ssize_t size = 0;
    while (true) {
        if (size == bytes.size() && !bytes.resize(2 * size)) return false;
        Py_ssize_t room = bytes.size() - size;
        DWORD got = 0;
        BOOL read;
        Py_BEGIN_ALLOW_THREADS
        read = ReadFile(handle_of(file), bytes.data() + size, room > 0x40000000 ? 0x40000000 : static_cast<DWORD>(room),
                        &got, nullptr);
        error = read ? 0 : GetLastError();
        Py_END_ALLOW_THREADS
        if (!read) {
            existing = Existing::unreadable;
            return true;
        }
        if (got == 0) break;
        size += got;
    }
    content = bytes.finish(size);
    if (!content) return false;
    existing = Existing::read;
    return true;
}

}  // namespace

/* ---------------------------------------------------------------------------
 * Paths and open files
 * ------------------------------------------------------------------------ */

bool NativePath::assign(Borrowed path_object)
{
    PyObject* decoded = nullptr;
    if (!PyUnicode_FSDecoder(path_object, &decoded)) return false;
    native_ = Ref(steal, decoded);
    return true;
}

NativePath NativePath::with_suffix(const char* suffix) const
{
    NativePath result;
    result.native_ = Ref(steal, PyUnicode_FromFormat("%U%s", native_.ptr(), suffix));
    return result;
}

Ref NativePath::text() const { return native_; }

bool File::close()
{
    if (handle_ == -1) return true;
    return CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle_, -1))) != 0;
}

/* ---------------------------------------------------------------------------
 * The metadata file
 * ------------------------------------------------------------------------ */

bool look_at(const NativePath& path, Existing& existing, Ref& content)
{
    DWORD error = 0;
    return look(path, existing, content, error);
}

Ref read_text(const NativePath& path)
{
    Existing existing;
    Ref content;
    DWORD error = 0;
    if (!look(path, existing, content, error)) return nullptr;
    switch (existing) {
    case Existing::not_regular:
        return Ref(borrow, Py_None);
    case Existing::missing:
    case Existing::unreadable:
        raise_windows_error(error, path);
        return nullptr;
    case Existing::read:
        break;
    }
    return Ref(steal, PyUnicode_DecodeUTF8(PyBytes_AS_STRING(content.ptr()), PyBytes_GET_SIZE(content.ptr()), nullptr));
}

Ref encode_text(Borrowed text)
{
    // A text-mode write on Windows puts each "\n" down as CR LF.
    Ref utf8(steal, PyUnicode_AsUTF8String(text));
    if (!utf8) return utf8;
    const char* data = PyBytes_AS_STRING(utf8.ptr());
    const char* end = data + PyBytes_GET_SIZE(utf8.ptr());
    Py_ssize_t breaks = 0;
    for (const char* at = data; (at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr; ++at) {
        ++breaks;
    }
    if (breaks == 0) return utf8;
    Ref result(steal, PyBytes_FromStringAndSize(nullptr, (end - data) + breaks));
    if (!result) return result;
    char* out = PyBytes_AS_STRING(result.ptr());
    for (const char* at = data; at < end;) {
        const char* line_end = static_cast<const char*>(std::memchr(at, '\n', end - at));
        const char* stop = line_end != nullptr ? line_end : end;
        std::memcpy(out, at, stop - at);
        out += stop - at;
        if (line_end == nullptr) break;
        *out++ = '\r';
        *out++ = '\n';
        at = line_end + 1;
    }
    return result;
}

bool set_aside(const NativePath& path, Borrowed content)
{
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    SYSTEMTIME utc{};
    FileTimeToSystemTime(&now, &utc);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%04u%02u%02uT%02u%02u%02u.%06uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                  utc.wMinute, utc.wSecond, static_cast<unsigned>(ticks / 10 % 1'000'000));

    for (int attempt = 0;; ++attempt) {
        Ref name(steal, attempt == 0
                            ? PyUnicode_FromFormat("%U.unreadable-%s", path.native().ptr(), stamp)
                            : PyUnicode_FromFormat("%U.unreadable-%s-%d", path.native().ptr(), stamp, attempt));
        NativePath aside;
        if (!name || !aside.assign(name)) return false;
        WidePath wide_aside(aside);
        if (!wide_aside) return false;
        if (content) {
            File copy = create_new(wide_aside.get());
            if (!copy) {
                DWORD error = GetLastError();
                if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && attempt < 100) continue;
                return raise_windows_error(error, aside);
            }
            DWORD error = 0;
            if (!write_file(copy, content, error)) {
                if (!PyErr_Occurred()) raise_windows_error(error, aside);
                copy.close();
                DeleteFileW(wide_aside.get());
                return false;
            }
            return true;
        }
        // Unreadable bytes cannot be copied; the file itself moves aside. It
        // keeps the permissions it had: on Windows those come from the
        // folder's, which the move within it does not change.
        WidePath wide_path(path);
        if (!wide_path) return false;
        bool interrupted = false;
        DWORD error = while_busy(true, interrupted, [&] {
            return MoveFileExW(wide_path.get(), wide_aside.get(), MOVEFILE_WRITE_THROUGH) ? ERROR_SUCCESS
                                                                                          : GetLastError();
        });
        if (interrupted) return false;
        if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && attempt < 100) continue;
        if (error != ERROR_SUCCESS) return raise_windows_error(error, path);
        return true;
    }
}

File replace(const NativePath& path, Borrowed data)
{
    File written;
    NativePath temporary;
    if (Reservation* reserved = Reservation::find(path)) {
        written = std::move(reserved->file_);
        temporary = reserved->temporary_;
        reserved->forget();
    } else {
        written = os::create_temporary(path, temporary);
        if (!written) return written;
    }
    WidePath wide_target(path);
    WidePath wide_temporary(temporary);
    DWORD error = 0;
    bool failed = !wide_target || !wide_temporary || !write_file(written, data, error);
    if (!failed) {
        // MOVEFILE_WRITE_THROUGH returns only once the move is on disk, which
        // is what syncing the folder does on POSIX.
        bool interrupted = false;
        error = while_busy(true, interrupted, [&] {
            return MoveFileExW(wide_temporary.get(), wide_target.get(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                       ? ERROR_SUCCESS
                       : GetLastError();
        });
        failed = interrupted || error != ERROR_SUCCESS;
    }
    if (failed) {
        if (!PyErr_Occurred()) raise_windows_error(error, path);
        written.close();
        os::remove_file(temporary);
        return File();
    }
    remove_stale_temporaries(path);
    return written;
}

bool set_mode(const File& file, int mode, const NativePath& path)
{
    // What os.chmod does on Windows: the owner-write bit clears the read-only
    // attribute, its absence sets it; nothing else has a meaning there.
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle_of(file), FileBasicInfo, &basic, sizeof basic)) {
        return raise_windows_error(GetLastError(), path);
    }
    constexpr int owner_write = 0200;
    DWORD attributes = (mode & owner_write) ? basic.FileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY}
                                            : basic.FileAttributes | FILE_ATTRIBUTE_READONLY;
    if (attributes == basic.FileAttributes) return true;
    FILE_BASIC_INFO change{};  // times of zero stay as they are
    change.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(handle_of(file), FileBasicInfo, &change, sizeof change)) {
        return raise_windows_error(GetLastError(), path);
    }
    return true;
}

/* ---------------------------------------------------------------------------
 * Primitives of the parts written once
 * ------------------------------------------------------------------------ */

namespace os {

File create_temporary(const NativePath& target, NativePath& temporary)
{
    static unsigned counter = 0;  // only touched with the interpreter lock held
    Borrowed text = target.native();
    const Py_ssize_t split = folder_length(text);
    LARGE_INTEGER ticks{};
    QueryPerformanceCounter(&ticks);
    char tail[64];
    std::snprintf(tail, sizeof tail, "%lu.%u.%llx.tmp", static_cast<unsigned long>(GetCurrentProcessId()), counter++,
                  static_cast<unsigned long long>(ticks.QuadPart));
    Ref folder(steal, PyUnicode_Substring(text, 0, split));
    Ref name(steal, folder ? PyUnicode_Substring(text, split, PyUnicode_GET_LENGTH(text.ptr())) : nullptr);
    Ref path(steal, name ? PyUnicode_FromFormat("%U.%U.%s", folder.ptr(), name.ptr(), tail) : nullptr);
    if (!path || !temporary.assign(path)) return File();
    WidePath wide(temporary);
    if (!wide) return File();
    File file = create_new(wide.get());
    if (!file) raise_windows_error(GetLastError(), target);
    return file;
}

bool ready_to_replace(const NativePath& path)
{
    // MoveFileExW opens the old file with the right to delete it, which a
    // process holding the file without sharing deletion refuses; so does
    // this open. A read-only or otherwise undeletable file fails here too,
    // as the replace itself would, and so does a folder (access denied).
    WidePath wide(path);
    if (!wide) return false;
    bool interrupted = false;
    File file;
    DWORD error = while_busy(true, interrupted, [&] {
        file = file_of(CreateFileW(wide.get(), DELETE | FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        return file ? DWORD{ERROR_SUCCESS} : GetLastError();
    });
    if (interrupted) return false;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (error != ERROR_SUCCESS) return raise_windows_error(error, path);
    // A Unix socket (Windows 10 on) is the one special file that stands in a
    // folder here; refused with the error number POSIX gives it.
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (GetFileInformationByHandleEx(handle_of(file), FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && tag.ReparseTag == IO_REPARSE_TAG_AF_UNIX) {
        Ref arguments(steal, Py_BuildValue("(isO)", ENOTSUP, "Operation not supported", path.text().ptr()));
        Ref error_object(steal, arguments ? PyObject_Call(PyExc_OSError, arguments.ptr(), nullptr) : nullptr);
        if (error_object) PyErr_SetObject(PyExc_OSError, error_object.ptr());
        return false;
    }
    return true;
}

bool allocate(const File& file, std::int64_t bytes, const NativePath& target)
{
    if (bytes <= 0) return true;
    // Setting the end of a new file allocates its clusters on NTFS, and fails
    // with ERROR_DISK_FULL when there is no room.
    DWORD error;
    Py_BEGIN_ALLOW_THREADS
    LARGE_INTEGER end{};
    end.QuadPart = bytes;
    error = SetFilePointerEx(handle_of(file), end, nullptr, FILE_BEGIN) && SetEndOfFile(handle_of(file))
                ? ERROR_SUCCESS
                : GetLastError();
    Py_END_ALLOW_THREADS
    return error == ERROR_SUCCESS || raise_windows_error(error, target);
}

void remove_file(const NativePath& path)
{
    WidePath wide(path);
    if (wide) DeleteFileW(wide.get());
    else PyErr_Clear();
}

std::int64_t size_at(const NativePath& path)
{
    WidePath wide(path);
    WIN32_FILE_ATTRIBUTE_DATA status{};
    if (!wide || !GetFileAttributesExW(wide.get(), GetFileExInfoStandard, &status)) {
        PyErr_Clear();
        return 0;
    }
    if (status.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(status.nFileSizeHigh) << 32) | status.nFileSizeLow);
}

File open_lock_file(const NativePath& path)
{
    WidePath wide(path);
    if (!wide) return File();
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than its
    // target, and the link is then refused. A lock file that can only be
    // read (the read-only attribute, a write-protected volume) still locks.
    constexpr DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE handle = CreateFileW(wide.get(), GENERIC_READ | GENERIC_WRITE, share_all, nullptr, OPEN_ALWAYS, flags, nullptr);
    DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) {
        handle = CreateFileW(wide.get(), GENERIC_READ, share_all, nullptr, OPEN_ALWAYS, flags, nullptr);
        error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    File file = file_of(handle);
    BY_HANDLE_FILE_INFORMATION status{};
    if (file && !GetFileInformationByHandle(handle, &status)) error = GetLastError();
    else if (file && (status.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        error = ERROR_STOPPED_ON_SYMLINK;
    }
    if (error != ERROR_SUCCESS) {
        raise_windows_error(error, path);
        return File();
    }
    return file;
}

bool identity_of(const File& file, const NativePath& path, FileIdentity& identity)
{
    BY_HANDLE_FILE_INFORMATION status{};
    if (!GetFileInformationByHandle(handle_of(file), &status)) return raise_windows_error(GetLastError(), path);
    identity = {status.dwVolumeSerialNumber,
                (static_cast<std::uint64_t>(status.nFileIndexHigh) << 32) | status.nFileIndexLow};
    return true;
}

bool identity_at(const NativePath& path, FileIdentity& identity)
{
    WidePath wide(path);
    if (!wide) {
        PyErr_Clear();
        return false;
    }
    File file = file_of(CreateFileW(wide.get(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION status{};
    if (!file || !GetFileInformationByHandle(handle_of(file), &status)) return false;
    identity = {status.dwVolumeSerialNumber,
                (static_cast<std::uint64_t>(status.nFileIndexHigh) << 32) | status.nFileIndexLow};
    return true;
}

// The lock is one byte at 1 GiB, far past the waiting line that earlier
// versions kept in the file's first bytes: Windows' byte-range locks are
// mandatory, so a lock over the line would keep such a version, running
// meanwhile, from reading it. Nothing is ever written there.
constexpr DWORD lock_offset = 0x40000000;

Attempt try_lock(const File& file, const NativePath& path)
{
    // A LockFileEx lock belongs to the open file: two threads with their
    // own opens exclude each other, and the system drops it with its
    // process.
    OVERLAPPED where{};
    where.Offset = lock_offset;
    if (LockFileEx(handle_of(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        return Attempt::locked;
    }
    DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return Attempt::busy;
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) return Attempt::unsupported;
    raise_windows_error(error, path);
    return Attempt::failed;
}

// A named section backed by the paging file: its memory is committed when
// it is made (a full paging file fails here, never a later write to the
// line), and it vanishes with its last handle, which each process mapping
// it keeps meanwhile, so there is nothing to remove. Names under "Local\"
// are the session's; another user's section of the same name cannot be
// opened, or is too small to map if it can.
const bool lines_outlive_their_users = false;

void* map_line(const FileIdentity& lock_file, std::size_t size, bool create, File& keeper)
{
    wchar_t name[64];
    std::swprintf(name, sizeof name / sizeof name[0], L"Local\\zorvan-lock-%08llx-%016llx",
                  static_cast<unsigned long long>(lock_file.volume), static_cast<unsigned long long>(lock_file.index));
    HANDLE mapping = create ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                 static_cast<DWORD>(size), name)
                            : OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
    File section = file_of(mapping != nullptr ? mapping : INVALID_HANDLE_VALUE);
    void* memory = section ? MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size) : nullptr;
    if (memory != nullptr) keeper = std::move(section);
    return memory;
}

void unmap_line(void* memory, std::size_t) { UnmapViewOfFile(memory); }

void remove_line(const FileIdentity&) {}

std::uint64_t current_process() { return GetCurrentProcessId(); }

bool process_alive(std::uint64_t process)
{
    // ERROR_INVALID_PARAMETER: no process has that id. A process that can
    // be opened is alive until its handle is signalled; one that cannot be
    // opened (another user's) counts as running.
    if (process > 0xFFFFFFFFu) return true;
    HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(process));
    if (handle == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
    bool alive = WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
    CloseHandle(handle);
    return alive;
}

double monotonic_seconds()
{
    // The frequency is fixed at boot, and reading it costs no system call.
    LARGE_INTEGER frequency{};
    LARGE_INTEGER now{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void sleep_seconds(double seconds)
{
    // Sleep() counts whole milliseconds and, at the usual timer resolution,
    // often takes 15.6 ms for one. A pause of tens of microseconds only
    // yields the processor; a longer one waits on a high-resolution timer
    // (Windows 10 1803 on), else on Sleep().
    if (seconds < 100e-6) {
        SwitchToThread();
        return;
    }
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer != nullptr) {
        LARGE_INTEGER due{};
        due.QuadPart = -static_cast<LONGLONG>(seconds * 1e7) - 1;  // relative, in 100 ns
        bool waited = SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
                      WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
        CloseHandle(timer);
        if (waited) return;
    }
    Sleep(static_cast<DWORD>(seconds * 1e3 + 0.999));
}

// There is no fork() on Windows.
void close_locks_in_forked_children() {}

}  // namespace os

}  // namespace credarium::files
