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
    bool digitRead;  // whether any digit was taken, as against a 0 read from none
};

TEST(ParseHexField, ReadsDigitsUntilTheLimitOrAStop) {
    const HexCase cases[] = {
        {"0x1F", 4, 0x1F, true},             // prefix skipped
        {"1Fx2", 4, 0x1F, true},             // an x after a digit stops the reading
        {"G123", 4, 0, false},               // first character is no digit
        {"123456789", 8, 0x12345678, true},  // nine digits, eight read
        {"10B58748", 8, 0x10B58748, true},   // upper-case identifier
        {"10b58748", 8, 0x10B58748, true},   // lower case reads the same
        {"00x0x1", 8, 0x1, true},            // any mix of leading zeros and x's
        {"0X12", 4, 0x12, true},             // upper-case X
        {"0x1234", 4, 0x12, true},           // the prefix counts against the limit
        {"ABCD", 0, 0, false},               // a limit of 0 reads nothing
        {"AB", 8, 0xAB, true},               // the limit is cut to the text's length
        {"", 4, 0, false},                   // empty text
        {"12 34", 8, 0x12, true},            // a blank stops
        {"fFaA", 4, 0xFFAA, true},
        // A 0 written out, and a 0 read from no digit at all.
        {"0000", 4, 0, true},
        {"0x", 4, 0, true},
        {"x", 4, 0, false},
        {"zz0", 4, 0, false},    // the reading stops before the digit
        {"xxxx5", 4, 0, false},  // the digit lies past the limit
    };
    for (const HexCase& c : cases) {
        bool digitRead = !c.digitRead;
        EXPECT_EQ(ParseHexField(c.text, c.maxChars, &digitRead), c.expected)
            << c.text << " n=" << c.maxChars;
        EXPECT_EQ(digitRead, c.digitRead) << c.text << " n=" << c.maxChars;
        EXPECT_EQ(ParseHexField(c.text, c.maxChars), c.expected) << "without the flag";
    }
}

struct LocationCase {
    const char* text;
    int32_t expected;
    bool digitRead;
};

TEST(ParseLocationPfa, ReadsBusDeviceAndFunctionRuns) {
    const LocationCase cases[] = {
        {"PCI bus 3, device 0, function 0", 0x0300, true},
        {"PCI bus 0, device 28, function 4", 0x00E4, true},
        {"PCI bus 300, device 0, function 0", 0x2C00, true},  // bus cut to 8 bits
        {"PCI bus 3, device 0, function 9", 0x0300, true},    // 8 and 9 name no function
        {"PCI bus 3, device 0, function 8", 0x0300, true},
        {"PCI bus 3, device 0, function 7", 0x0307, true},
        {"PCI bus 3", 0x0300, true},                                     // text ends after the bus
        {"PCI Slot 4 (PCI bus 3, device 0, function 0)", 0x0418, true},  // slot taken as the bus
        {"PCI bus 255, device 31, function 7", 0xFFFF, true},
        {"PCI bus 1, device 40, function 1", 0x0141, true},  // device cut to 5 bits
        {"PCI bus 2, device 3, function 45", 0x021C, true},  // function is one digit
        {"Internal bus 3, device 0, function 0", 0, false},  // not a PCI text
        {"pci bus 3, device 0, function 0", 0, false},       // case-sensitive
        {"", 0, false},
        {"PCI", 0, false},
        // Operands of "remove": decimal runs after the prefix.
        {"PCI:3,0,0", 0x0300, true},
        {"PCI:3.0.0", 0x0300, true},
        {"PCI:0300", 0x2C00, true},
        {"PCI:3", 0x0300, true},
        {"PCI:", 0, false},
        {"PCI:0:28.4", 0x00E4, true},
        {"PCI:0", 0, true},
        {"PCI:zz,zz,zz", 0, false},
        {"PCI:zz,3", 0x0300, true},
        {"PCI bus", 0, false},
    };
    for (const LocationCase& c : cases) {
        bool digitRead = !c.digitRead;
        EXPECT_EQ(ParseLocationPfa(c.text, &digitRead), c.expected) << '"' << c.text << '"';
        EXPECT_EQ(digitRead, c.digitRead) << '"' << c.text << '"';
        EXPECT_EQ(ParseLocationPfa(c.text), c.expected) << "without the flag";
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
