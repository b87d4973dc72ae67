// Kernel debug print formatting.
#include "sim/kernel/debug_format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace sim {

namespace {

// One conversion's flags, width and precision as written (widths from '*' resolved).
struct Form {
    bool left = false;
    bool zero = false;
    bool other = false;  // '+', ' ' or '#': left to the C library
    int width = 0;
    int precision = -1;
};

void Pad(std::string& out, size_t length, const Form& form, char fill) {
    if (form.width > 0 && length < static_cast<size_t>(form.width)) {
        out.append(static_cast<size_t>(form.width) - length, fill);
    }
}

// Digits of an unsigned value in base 10 or 16, into the end of buffer; returns the start.
char* Digits(unsigned long long v, unsigned base, bool upper, char* end) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char* p = end;
    do {
        *--p = digits[v % base];
        v /= base;
    } while (v != 0);
    return p;
}

// The common integer forms (flags '-' and '0', a width) written here; the rest by snprintf.
void Integer(std::string& out, const Form& form, bool negative, unsigned long long magnitude,
             unsigned base, bool upper) {
    char buffer[32];
    char* end = buffer + sizeof(buffer);
    const char* begin = Digits(magnitude, base, upper, end);
    const size_t digits = static_cast<size_t>(end - begin);
    const size_t length = digits + (negative ? 1 : 0);
    if (form.left) {
        if (negative) {
            out.push_back('-');
        }
        out.append(begin, digits);
        Pad(out, length, form, ' ');
    } else if (form.zero) {
        if (negative) {
            out.push_back('-');
        }
        Pad(out, length, form, '0');
        out.append(begin, digits);
    } else {
        Pad(out, length, form, ' ');
        if (negative) {
            out.push_back('-');
        }
        out.append(begin, digits);
    }
}

std::string FormText(const Form& form, const char* flags, size_t flagCount, const char* length,
                     char conversion) {
    std::string text = "%";
    text.append(flags, flagCount);
    if (form.width > 0) {
        text += std::to_string(form.width);
    }
    if (form.precision >= 0) {
        text += "." + std::to_string(form.precision);
    }
    text += length;
    text.push_back(conversion);
    return text;
}

}  // namespace

std::string FormatDebugPrint(const char* format, va_list args) {
    std::string out;
    AppendDebugPrint(out, format, args);
    return out;
}

void AppendDebugPrint(std::string& out, const char* format, va_list args) {
    const char* p = format;
    while (*p != 0) {
        const char* literal = p;
        while (*p != 0 && *p != '%') {
            ++p;
        }
        out.append(literal, p);
        if (*p == 0) {
            break;
        }
        const char* start = p++;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        Form form;
        const char* flags = p;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
            form.left |= *p == '-';
            form.zero |= *p == '0';
            form.other |= *p == '+' || *p == ' ' || *p == '#';
            ++p;
        }
        const size_t flagCount = static_cast<size_t>(p - flags);
        if (*p == '*') {
            form.width = va_arg(args, int);
            if (form.width < 0) {
                form.left = true;
                form.width = -form.width;
            }
            ++p;
        }
        while (*p >= '0' && *p <= '9') {
            form.width = form.width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            form.precision = 0;
            if (*p == '*') {
                form.precision = va_arg(args, int);
                ++p;
            }
            while (*p >= '0' && *p <= '9') {
                form.precision = form.precision * 10 + (*p++ - '0');
            }
        }
        int longs = 0;
        bool size = false;
        while (*p == 'h' || *p == 'l' || *p == 'z' || *p == 'I') {
            if (*p == 'l') {
                ++longs;
                ++p;
            } else if (*p == 'z') {
                size = true;
                ++p;
            } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
                longs = 2;
                p += 3;
            } else {
                ++p;  // h and hh: the argument is promoted to int anyway
            }
        }
        const char conversion = *p;
        if (conversion == 0) {
            out.append(start);
            break;
        }
        ++p;
        const bool simple = !form.other && form.precision < 0;
        char buffer[128];
        switch (conversion) {
            case 'd':
            case 'i': {
                const long long v = longs >= 2   ? va_arg(args, long long)
                                    : size       ? static_cast<long long>(va_arg(args, intptr_t))
                                    : longs == 1 ? static_cast<long long>(va_arg(args, long))
                                                 : va_arg(args, int);
                if (simple) {
                    const unsigned long long magnitude =
                        v < 0 ? 0ull - static_cast<unsigned long long>(v)
                              : static_cast<unsigned long long>(v);
                    Integer(out, form, v < 0, magnitude, 10, false);
                } else {
                    std::snprintf(buffer, sizeof(buffer),
                                  FormText(form, flags, flagCount, "ll", 'd').c_str(), v);
                    out += buffer;
                }
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                const unsigned long long v =
                    longs >= 2   ? va_arg(args, unsigned long long)
                    : size       ? static_cast<unsigned long long>(va_arg(args, size_t))
                    : longs == 1 ? static_cast<unsigned long long>(va_arg(args, unsigned long))
                                 : va_arg(args, unsigned int);
                if (simple && conversion != 'o') {
                    Integer(out, form, false, v, conversion == 'u' ? 10 : 16, conversion == 'X');
                } else {
                    std::snprintf(buffer, sizeof(buffer),
                                  FormText(form, flags, flagCount, "ll", conversion).c_str(), v);
                    out += buffer;
                }
                break;
            }
            case 'c': {
                const char c = static_cast<char>(va_arg(args, int));
                if (!form.left) {
                    Pad(out, 1, form, ' ');
                }
                out.push_back(c);
                if (form.left) {
                    Pad(out, 1, form, ' ');
                }
                break;
            }
            case 's': {
                const char* text = va_arg(args, const char*);
                if (text == nullptr) {
                    text = "(null)";
                }
                size_t length = std::strlen(text);
                if (form.precision >= 0 && static_cast<size_t>(form.precision) < length) {
                    length = static_cast<size_t>(form.precision);
                }
                if (!form.left) {
                    Pad(out, length, form, ' ');
                }
                out.append(text, length);
                if (form.left) {
                    Pad(out, length, form, ' ');
                }
                break;
            }
            case 'p': {
                // Pointers are printed at their full x64 width in upper case, without "0x".
                const void* v = va_arg(args, const void*);
                char* end = buffer + 16;
                char* begin = Digits(reinterpret_cast<uintptr_t>(v), 16, true, end);
                out.append(static_cast<size_t>(16 - (end - begin)), '0');
                out.append(begin, end);
                break;
            }
            default:
                out.append(start, p);
                break;
        }
    }
}

std::vector<std::string> JoinPrintsIntoLines(const std::vector<std::string>& prints) {
    std::string all;
    for (const std::string& p : prints) {
        all += p;
    }
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < all.size()) {
        const size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(all.substr(start));
            break;
        }
        lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace sim
