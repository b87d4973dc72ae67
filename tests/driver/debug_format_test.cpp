// The simulated kernel's debug print formatting: the C library's rendering for every integer
// and text form the driver uses, and the kernel's own rendering of %p.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/kernel/debug_format.h"

namespace {

std::string Kernel(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = sim::FormatDebugPrint(format, args);
    va_end(args);
    return text;
}

std::string Library(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char buffer[512];
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

TEST(DebugFormat, IntegersAsTheCLibraryPrintsThem) {
    const char* const formats[] = {"%d",  "%5d", "%-5d|", "%05d", "%+d",  "% d",  "%.3d",
                                   "%u",  "%X",  "%x",    "%08X", "%04X", "%02X", "%-8X|",
                                   "%#x", "%o",  "%10u",  "%i",   "%3d%%"};
    const int values[] = {0, 7, -7, 255, -2147483647 - 1, 2147483647, 0x12345, -100000};
    for (const char* f : formats) {
        for (int v : values) {
            EXPECT_EQ(Kernel(f, v), Library(f, v)) << f << " " << v;
        }
    }
    const unsigned u = 0xFFFFFFF0u;
    EXPECT_EQ(Kernel("%08X%08X", 0u, u), "00000000FFFFFFF0");
    EXPECT_EQ(Kernel("%llX %lld %zu", 0x1122334455667788ull, -5ll, size_t{42}),
              "1122334455667788 -5 42");
    EXPECT_EQ(Kernel("%I64X", 0xABCDEF0123ull), "ABCDEF0123");
    EXPECT_EQ(Kernel("%*d|%-*d|", 4, 7, 3, 8), "   7|8  |");
}

TEST(DebugFormat, TextAndCharacters) {
    EXPECT_EQ(Kernel("Corvax2 : Driver loaded(%s)\n", "2.0.1.20"),
              "Corvax2 : Driver loaded(2.0.1.20)\n");
    EXPECT_EQ(Kernel("[%6s][%-6s][%.2s]", "ab", "ab", "abcdef"),
              Library("[%6s][%-6s][%.2s]", "ab", "ab", "abcdef"));
    EXPECT_EQ(Kernel("%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(Kernel("%c%3c", 'x', 'y'), "x  y");
}

TEST(DebugFormat, PointersAreSixteenUpperCaseDigitsWithoutPrefix) {
    EXPECT_EQ(Kernel("%p", reinterpret_cast<void*>(0xFFFFA58000010000ull)), "FFFFA58000010000");
    EXPECT_EQ(Kernel("0x%p", static_cast<void*>(nullptr)), "0x0000000000000000");
    EXPECT_EQ(Kernel("(%p)", reinterpret_cast<void*>(0xE0300000ull)), "(00000000E0300000)");
}

TEST(DebugFormat, UnknownAndTruncatedConversionsStayAsWritten) {
    EXPECT_EQ(Kernel("100%% done"), "100% done");
    EXPECT_EQ(Kernel("tail %"), "tail %");
    EXPECT_EQ(Kernel("%q"), "%q");
}

void Keep(sim::PrintLog& log, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log.Append(format, args);
    va_end(args);
}

// The log keeps each print's arguments and renders them when read: what it shows must be what
// formatting at the time of the print would have shown, whatever happened to the arguments since.
TEST(DebugFormat, KeptPrintsRenderAsTheyWouldHaveAtOnce) {
    char name[16] = "first";
    sim::PrintLog log;
    Keep(log, "Corvax2 : %s [%d] %08X %p\n", name, -3, 0xBEEFu,
         reinterpret_cast<void*>(0xFFFFA58000010000ull));
    std::strcpy(name, "changed");  // a text argument is copied when printed
    Keep(log, "%*d|%-*s|%.*s", 5, 42, 4, "ab", 2, "xyz");
    Keep(log, "%llX %zu %c %s%%", 0x1122334455667788ull, size_t{7}, 'q',
         static_cast<const char*>(nullptr));
    Keep(log, "no arguments, cut short %");
    const char* const shown[] = {
        "Corvax2 : first [-3] 0000BEEF FFFFA58000010000\n",
        "   42|ab  |xy",
        "1122334455667788 7 q (null)%",
        "no arguments, cut short %",
    };
    ASSERT_EQ(log.Count(), 4u);
    std::string expected;
    std::vector<size_t> ends;
    for (const char* text : shown) {
        expected += text;
        ends.push_back(expected.size());
    }
    EXPECT_EQ(log.Text(), expected);
    EXPECT_EQ(log.Ends(), ends);

    // Prints after a read are rendered on the next read; a cleared log starts empty.
    Keep(log, "%u", 9u);
    EXPECT_EQ(log.Text(), expected + "9");
    log.Clear();
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(log.Text(), "");
    Keep(log, "%d", 1);
    EXPECT_EQ(log.Text(), "1");

    // A format is worked out once per address, but a buffer reused for another format (other
    // text, other arguments) is read afresh, and each print renders by the text it was given.
    char format[32];
    std::strcpy(format, "a%d-");
    log.Clear();
    Keep(log, format, 7);
    std::strcpy(format, "b%s%llX");
    Keep(log, format, "xy", 0xABCull);
    Keep(log, format, "z", 1ull);
    EXPECT_EQ(log.Text(), "a7-bxyABCbz1");
}

}  // namespace
