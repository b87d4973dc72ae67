// The two text readers: hexadecimal operands and location texts.
#include <gtest/gtest.h>

#include "tolvane.h"

namespace {

using tolvane::ParseHexField;
using tolvane::ParseLocationPfa;

struct HexCase {
    const char* text;
    uint32_t maxChars;
    uint32_t expected;
};

TEST(ParseHexField, ReadsDigitsUntilTheLimitOrAStop) {
    const HexCase cases[] = {
        {"0x1F", 4, 0x1F},             // prefix skipped
        {"1Fx2", 4, 0x1F},             // an x after a digit stops the reading
        {"G123", 4, 0},                // first character is no digit
        {"123456789", 8, 0x12345678},  // nine digits, eight read
        {"10B58748", 8, 0x10B58748},   // upper-case identifier
        {"10b58748", 8, 0x10B58748},   // lower case reads the same
        {"00x0x1", 8, 0x1},            // any mix of leading zeros and x's
        {"0X12", 4, 0x12},             // upper-case X
        {"0x1234", 4, 0x12},           // the prefix counts against the limit
        {"ABCD", 0, 0},                // a limit of 0 reads nothing
        {"AB", 8, 0xAB},               // the limit is cut to the text's length
        {"", 4, 0},                    // empty text
        {"12 34", 8, 0x12},            // a blank stops
        {"fFaA", 4, 0xFFAA},
    };
    for (const HexCase& c : cases) {
        EXPECT_EQ(ParseHexField(c.text, c.maxChars), c.expected) << c.text << " n=" << c.maxChars;
    }
}

struct LocationCase {
    const char* text;
    int32_t expected;
};

TEST(ParseLocationPfa, ReadsBusDeviceAndFunctionRuns) {
    const LocationCase cases[] = {
        {"PCI bus 3, device 0, function 0", 0x0300},
        {"PCI bus 0, device 28, function 4", 0x00E4},
        {"PCI bus 300, device 0, function 0", 0x2C00},  // bus cut to 8 bits
        {"PCI bus 3, device 0, function 9", 0x0300},    // 8 and 9 name no function
        {"PCI bus 3, device 0, function 8", 0x0300},
        {"PCI bus 3, device 0, function 7", 0x0307},
        {"PCI bus 3", 0x0300},                                     // text ends after the bus
        {"PCI Slot 4 (PCI bus 3, device 0, function 0)", 0x0418},  // slot taken as the bus
        {"PCI bus 255, device 31, function 7", 0xFFFF},
        {"PCI bus 1, device 40, function 1", 0x0141},  // device cut to 5 bits
        {"PCI bus 2, device 3, function 45", 0x021C},  // function is one digit
        {"Internal bus 3, device 0, function 0", 0},   // not a PCI text
        {"pci bus 3, device 0, function 0", 0},        // case-sensitive
        {"", 0},
        {"PCI", 0},
        // Operands of "remove": decimal runs after the prefix.
        {"PCI:3,0,0", 0x0300},
        {"PCI:3.0.0", 0x0300},
        {"PCI:0300", 0x2C00},
        {"PCI:3", 0x0300},
        {"PCI:", 0},
        {"PCI:0:28.4", 0x00E4},
    };
    for (const LocationCase& c : cases) {
        EXPECT_EQ(ParseLocationPfa(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(ParseLocationPfa, LongDigitRunsStayWithinTheirFields) {
    // Twenty nines: 10^20 - 1 leaves 255 modulo 256, whatever the run does above 8 bits.
    EXPECT_EQ(ParseLocationPfa("PCI bus 99999999999999999999, device 1, function 1"), 0xFF09);
    EXPECT_TRUE(tolvane::HasPciLocation("PCI bus 1"));
    EXPECT_FALSE(tolvane::HasPciLocation("on board"));
    EXPECT_FALSE(tolvane::HasPciLocation(nullptr));
}

}  // namespace
