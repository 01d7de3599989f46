#include "platform/link_target.h"

#include <cstdio>
#include <cstring>

namespace link_target {

namespace {

// The system's reparse tags, and a symbolic link's one flag.
constexpr uint32_t kMountPointTag = 0xA0000003;  // a junction, or a volume mounted in a folder
constexpr uint32_t kSymbolicLinkTag = 0xA000000C;
constexpr uint32_t kRelativeFlag = 1;  // SYMLINK_FLAG_RELATIVE
// Tag, data length, reserved, then the two names' offsets and lengths.
constexpr size_t kHeaderBytes = 16;

uint32_t ReadU32(const uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

uint16_t ReadU16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Drops "." and ".." from the names after the root's root bytes, in place.
void ResolveDots(char* path, size_t root) {
    size_t write = root;
    for (size_t read = root; path[read] != '\0';) {
        size_t next = read;
        while (path[next] != '\0' && path[next] != '\\') ++next;
        size_t length = next - read;
        if (length == 1 && path[read] == '.') {
            // this folder: nothing
        } else if (length == 2 && path[read] == '.' && path[read + 1] == '.') {
            // the folder above, never past the root
            while (write > root && path[write - 1] == '\\') --write;
            while (write > root && path[write - 1] != '\\') --write;
        } else if (length > 0) {
            if (write > root && path[write - 1] != '\\') path[write++] = '\\';
            std::memmove(path + write, path + read, length);
            write += length;
        }
        read = path[next] == '\0' ? next : next + 1;
    }
    while (write > root && path[write - 1] == '\\') --write;
    path[write] = '\0';
}

// The length of a full path's root: "C:\", "\\server\share\",
// "\\?\Volume{...}\"; 0 when it is none of them.
size_t RootOf(const char* path) {
    if (path[0] != '\0' && path[1] == ':' && path[2] == '\\') return 3;
    if (path[0] != '\\' || path[1] != '\\') return 0;
    const char* first = std::strchr(path + 2, '\\');
    if (first == nullptr || first[1] == '\0') return 0;
    const char* second = std::strchr(first + 1, '\\');
    // "\\server\share" alone is its own root.
    return second == nullptr ? std::strlen(path) : static_cast<size_t>(second - path) + 1;
}

}  // namespace

bool ParseReparseData(const uint8_t* data, size_t length, Substitute* substitute) {
    *substitute = Substitute{};
    if (length < 8) return false;
    uint32_t tag = ReadU32(data);
    if (tag != kMountPointTag && tag != kSymbolicLinkTag) return true;
    if (length < kHeaderBytes) return false;
    size_t names = kHeaderBytes;
    if (tag == kSymbolicLinkTag) {
        if (length < kHeaderBytes + 4) return false;
        substitute->relative = (ReadU32(data + kHeaderBytes) & kRelativeFlag) != 0;
        names += 4;
    }
    substitute->offset = names + ReadU16(data + 8);
    substitute->bytes = ReadU16(data + 10);
    // In whole UTF-16 units, within the data.
    if (substitute->bytes == 0 || substitute->bytes % 2 != 0 || substitute->offset % 2 != 0 ||
        substitute->offset + substitute->bytes > length) {
        return false;
    }
    substitute->leads = true;
    return true;
}

bool ReplaceLink(const char* path, size_t end, const char* target, bool relative, char* out,
                 size_t size) {
    if (size == 0) return false;
    int length = -1;
    if (!relative) {
        // "\??\" is the name space of the system's own names for drives.
        const char* name = target;
        const char* prefix = "";
        if (StartsWith(target, "\\??\\UNC\\")) {
            name = target + 8;
            prefix = "\\\\";
        } else if (StartsWith(target, "\\??\\") && target[4] != '\0' && target[5] == ':') {
            name = target + 4;
        } else if (StartsWith(target, "\\??\\")) {
            name = target + 4;
            prefix = "\\\\?\\";
        }
        // "D:\" + "\rest": the doubled backslash goes with the dots.
        length = std::snprintf(out, size, "%s%s%s", prefix, name, path + end);
    } else {
        // From the link's own folder, or from its drive's root for "\dir".
        size_t base = end;
        while (base > 0 && path[base - 1] != '\\') --base;
        if (target[0] == '\\') base = RootOf(path) == 0 ? 0 : RootOf(path) - 1;
        length =
            std::snprintf(out, size, "%.*s%s%s", static_cast<int>(base), path, target, path + end);
    }
    if (length < 0 || static_cast<size_t>(length) >= size) return false;
    size_t root = RootOf(out);
    if (root == 0) {
        // A drive alone: its root.
        if (out[0] == '\0' || out[1] != ':' || out[2] != '\0' || size < 4) return false;
        out[2] = '\\';
        out[3] = '\0';
        return true;
    }
    ResolveDots(out, root);
    return true;
}

}  // namespace link_target
