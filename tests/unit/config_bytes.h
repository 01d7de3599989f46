// Configuration files as each tool of Windows saves them.
#pragma once

#include <string>

const std::string kUtf8Mark = "\xEF\xBB\xBF";

// UTF-16LE, by default behind its byte-order mark.
inline std::string Utf16(const std::u16string& text, bool mark = true) {
    std::string bytes = mark ? "\xFF\xFE" : "";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}
