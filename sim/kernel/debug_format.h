// Formatting of kernel debug prints as the Windows x64 print routine renders them.
#ifndef CORVAX_SIM_DEBUG_FORMAT_H
#define CORVAX_SIM_DEBUG_FORMAT_H

#include <cstdarg>
#include <string>
#include <vector>

namespace sim {

// printf-style formatting with the kernel's rendering of %p: 16 upper-case hexadecimal digits,
// no prefix. Supports the flags, widths, precisions and length modifiers (h, hh, l, ll, I64, z)
// of d, i, u, x, X, o, c, s, p and %%.
std::string FormatDebugPrint(const char* format, va_list args);
// The same, appended to out.
void AppendDebugPrint(std::string& out, const char* format, va_list args);

// The prints joined and cut at line feeds, as a debugger shows them: a print without a line
// feed continues on the next one's line.
std::vector<std::string> JoinPrintsIntoLines(const std::vector<std::string>& prints);

}  // namespace sim

#endif  // CORVAX_SIM_DEBUG_FORMAT_H
