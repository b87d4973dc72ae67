// Kernel debug print formatting.
#include "sim/kernel/debug_format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace sim {

std::string FormatDebugPrint(const char* format, va_list args) {
    std::string out;
    const char* p = format;
    while (*p != 0) {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        std::string spec = "%";
        while (*p != 0 && std::strchr("-+ #0", *p) != nullptr) {
            spec.push_back(*p++);
        }
        if (*p == '*') {
            spec += std::to_string(va_arg(args, int));
            ++p;
        }
        while (*p >= '0' && *p <= '9') {
            spec.push_back(*p++);
        }
        if (*p == '.') {
            spec.push_back(*p++);
            if (*p == '*') {
                spec += std::to_string(va_arg(args, int));
                ++p;
            }
            while (*p >= '0' && *p <= '9') {
                spec.push_back(*p++);
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
        char buffer[128];
        switch (conversion) {
            case 'd':
            case 'i': {
                long long v = longs >= 2   ? va_arg(args, long long)
                              : size       ? static_cast<long long>(va_arg(args, intptr_t))
                              : longs == 1 ? static_cast<long long>(va_arg(args, long))
                                           : va_arg(args, int);
                std::snprintf(buffer, sizeof(buffer), (spec + "lld").c_str(), v);
                out += buffer;
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                unsigned long long v =
                    longs >= 2   ? va_arg(args, unsigned long long)
                    : size       ? static_cast<unsigned long long>(va_arg(args, size_t))
                    : longs == 1 ? static_cast<unsigned long long>(va_arg(args, unsigned long))
                                 : va_arg(args, unsigned int);
                std::snprintf(buffer, sizeof(buffer), (spec + "ll" + conversion).c_str(), v);
                out += buffer;
                break;
            }
            case 'c': {
                std::snprintf(buffer, sizeof(buffer), (spec + "c").c_str(), va_arg(args, int));
                out += buffer;
                break;
            }
            case 's': {
                const char* s = va_arg(args, const char*);
                const std::string text = s != nullptr ? s : "(null)";
                std::vector<char> wide(text.size() + 128);
                std::snprintf(wide.data(), wide.size(), (spec + "s").c_str(), text.c_str());
                out += wide.data();
                break;
            }
            case 'p': {
                // Pointers are printed at their full x64 width in upper case, without "0x".
                const void* v = va_arg(args, const void*);
                std::snprintf(buffer, sizeof(buffer), "%016llX",
                              static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v)));
                out += buffer;
                break;
            }
            default:
                out.append(start, p);
                break;
        }
    }
    return out;
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
