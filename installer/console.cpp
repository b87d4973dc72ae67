// Formatted output: the text is formed here and written through the boundary, so the bytes
// that reach standard output are the ones the tests see.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "tolvane.h"

namespace tolvane {

void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list sizing;
    va_copy(sizing, args);
    int length = vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    if (length > 0) {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        vsnprintf(&text[0], text.size(), format, args);
        OsWriteConsole(text.data(), static_cast<uint32_t>(length));
    }
    va_end(args);
}

}  // namespace tolvane
