// Safe replacement of the account metadata file.
//
// The file is never rewritten in place: the new content goes to a private
// temporary file next to it, which is flushed to disk and then renamed over
// the old one. A crash, a full disk or a kill leaves either the old file or
// the new one, never a truncated mix.
#pragma once

#include "frame/frame.hpp"

namespace credarium::files {

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
// of mode 0600 in the same folder, fsynced before the rename. On failure the
// temporary file is removed, the old file is left as it was and the OSError
// is raised.
bool replace(frame::Borrowed path, frame::Borrowed data);

}  // namespace credarium::files
