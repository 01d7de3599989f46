// Where a link in a path leads, worked out from its reparse data as Windows
// before Vista needs, with no system call: the Win32 backend reads the
// data and the names, and these decide what they mean.
#pragma once

#include <cstddef>
#include <cstdint>

namespace link_target {

// Where the substitute name sits in a reparse point's data, in bytes, and
// how it reads.
struct Substitute {
    bool leads;     // false: a reparse point that names nothing elsewhere
    bool relative;  // a symbolic link's name, from the link's own folder
    size_t offset;
    size_t bytes;  // of UTF-16
};

// Reads FSCTL_GET_REPARSE_POINT's data: a junction's or a symbolic link's
// substitute name; any other tag leads nowhere else. False when the data is
// shorter than it says.
bool ParseReparseData(const uint8_t* data, size_t length, Substitute* substitute);

// path with its first end bytes, a link, replaced by target, the link's
// substitute name in the ANSI code page: "\??\D:\dir", "\??\UNC\srv\share",
// "\??\Volume{...}\", or for a relative link "..\dir" or "\dir". "." and
// ".." are resolved. False when it does not fit in size bytes.
bool ReplaceLink(const char* path, size_t end, const char* target, bool relative, char* out,
                 size_t size);

}  // namespace link_target
