// The two readers that turn an operand or a device's location text into numbers.
#include <cstring>

#include "tolvane.h"

namespace tolvane {

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

uint32_t ParseHexField(const char* text, uint32_t maxChars, bool* digitRead) {
    if (digitRead != nullptr) {
        *digitRead = false;
    }
    if (text == nullptr) {
        return 0;
    }
    size_t count = strnlen(text, maxChars);
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) {
        int digit = HexDigitValue(text[i]);
        if (digit >= 0) {
            value = value * 16u + static_cast<uint32_t>(digit);
            if (digitRead != nullptr) {
                *digitRead = true;
            }
        } else if ((text[i] == 'x' || text[i] == 'X') && value == 0) {
            // Leading zeros and x's form the optional "0x" prefix.
            continue;
        } else {
            break;
        }
    }
    return value;
}

bool HasPciLocation(const char* text) {
    return text != nullptr && strncmp(text, "PCI", 3) == 0;
}

int32_t ParseLocationPfa(const char* text, bool* digitRead) {
    if (digitRead != nullptr) {
        *digitRead = false;
    }
    if (!HasPciLocation(text)) {
        return 0;
    }
    // Unsigned accumulators: an absurdly long digit run wraps instead of overflowing, and only
    // the low bits survive the masks below anyway.
    uint32_t bus = 0;
    uint32_t device = 0;
    uint32_t function = 0;
    int run = 0;
    bool inDigits = false;
    for (const char* p = text + 3; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') {
            uint32_t digit = static_cast<uint32_t>(*p - '0');
            inDigits = true;
            if (digitRead != nullptr) {
                *digitRead = true;
            }
            if (run == 0) {
                bus = bus * 10u + digit;
            } else if (run == 1) {
                device = device * 10u + digit;
            } else {
                // A function number is one digit from 0 to 7; 8 and 9 name none and read as 0.
                function = digit < 8 ? digit : 0;
                break;
            }
        } else if (inDigits) {
            ++run;
            inDigits = false;
        }
    }
    return static_cast<int32_t>(((bus & 0xFFu) << 8) | ((device & 0x1Fu) << 3) | (function & 0x7u));
}

}  // namespace tolvane
