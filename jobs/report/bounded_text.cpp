#include "jobs/report/bounded_text.h"

#include <cstdarg>
#include <cstdio>

void AppendFormat(char* text, size_t size, size_t* at, const char* format, ...) {
    if (*at + 1 >= size) return;
    va_list arguments;
    va_start(arguments, format);
    int written = std::vsnprintf(text + *at, size - *at, format, arguments);
    va_end(arguments);
    if (written < 0) return;
    size_t room = size - *at - 1;
    *at += static_cast<size_t>(written) < room ? static_cast<size_t>(written) : room;
}
