// The 28 control codes as the published interface gives them, each with its transfer method,
// and each reaching its own handler: a header that swapped two codes, or a dispatcher that sent
// a code to its neighbour's handler, fails here.
#include <algorithm>

#include "tests/driver/driver_test_support.h"
#include "tests/driver/test_machines.h"

namespace corvax_test {
namespace {

struct CodeCase {
    const char* name;
    uint32_t code;     // as the header defines it
    uint32_t literal;  // as the interface publishes it
    uint32_t method;
    // The handler's own first line (a prefix), or empty for the one handler that logs nothing.
    const char* firstLine;
};

constexpr uint32_t kBuffered = 0;
constexpr uint32_t kOutDirect = 2;

const CodeCase kCodes[] = {
    {"CORVAX_RESCAN", CORVAX_RESCAN, 0x00221400, kBuffered,
     "Corvax2 : Rescan PLX Bridge & PCI device"},
    {"CORVAX_QUERY", CORVAX_QUERY, 0x00221404, kBuffered, "Corvax2 : CORVAX_QUERY(Qty="},
    {"CORVAX_QUERY_8618", CORVAX_QUERY_8618, 0x00221408, kBuffered,
     "Corvax2 : CORVAX_QUERY_8618(Qty="},
    {"CORVAX_ON_BRIDGE", CORVAX_ON_BRIDGE, 0x0022140C, kBuffered, "Corvax2 : CORVAX_ON_BRIDGE"},
    {"CORVAX_GET_TABLE", CORVAX_GET_TABLE, 0x00221412, kOutDirect, "Corvax2 : CORVAX_GET_TABLE"},
    {"CORVAX_RESCAN_RESTORE", CORVAX_RESCAN_RESTORE, 0x00221416, kOutDirect,
     "Corvax2 : Rescan PLX Bridge & PCI device"},
    {"CORVAX_UPDATE", CORVAX_UPDATE, 0x00221418, kBuffered,
     "Corvax2 : Update PLX Bridge & PCI device information"},
    {"CORVAX_DISABLE_BRIDGE", CORVAX_DISABLE_BRIDGE, 0x0022141C, kBuffered,
     "Corvax2 : CORVAX_DISABLE_BRIDGE/PLX_DISABLE"},
    {"CORVAX_ENABLE_BRIDGE", CORVAX_ENABLE_BRIDGE, 0x00221420, kBuffered,
     "Corvax2 : CORVAX_ENABLE_BRIDGE/PLX_ENABLE"},
    {"CORVAX_READ_CONFIG", CORVAX_READ_CONFIG, 0x0022142A, kOutDirect,
     "Corvax2 : read config PFA="},
    {"CORVAX_GET_BITMAP", CORVAX_GET_BITMAP, 0x00221430, kBuffered, "Corvax2 : pfa = "},
    {"CORVAX_SET_LED", CORVAX_SET_LED, 0x00221434, kBuffered,
     "Corvax2 : CORVAX_SET_LED/PLX_SET_LED(ledType"},
    {"CORVAX_SET_LED_ALL", CORVAX_SET_LED_ALL, 0x00221438, kBuffered, ""},
    {"CORVAX_CLR_CPM", CORVAX_CLR_CPM, 0x0022143C, kBuffered, "Corvax2 : CORVAX_CLR_CPM"},
    {"CORVAX_GET_VERSION", CORVAX_GET_VERSION, 0x0022158C, kBuffered,
     "Corvax2 : CORVAX_GET_VERSION/PLX_GET_VERSION"},
    {"CORVAX_SET_DEVICE_ID_LIST", CORVAX_SET_DEVICE_ID_LIST, 0x00221590, kBuffered,
     "Corvax2 : set device id list (0 = "},
    {"PLX_UPDATE", PLX_UPDATE, 0x00221804, kBuffered,
     "Corvax2 : Update PLX Bridge & PCI device information"},
    {"PLX_RESCAN", PLX_RESCAN, 0x00221808, kBuffered, "Corvax2 : Rescan PLX Bridge & PCI device"},
    {"PLX_RESCAN_RESTORE", PLX_RESCAN_RESTORE, 0x0022180C, kBuffered,
     "Corvax2 : Rescan PLX Bridge & PCI device"},
    {"PLX_QUERY_PCI", PLX_QUERY_PCI, 0x00221810, kBuffered, "Corvax2 : PLX_QUERY_PCI (memSize:"},
    {"PLX_ENABLE", PLX_ENABLE, 0x00221814, kBuffered, "Corvax2 : CORVAX_ENABLE_BRIDGE/PLX_ENABLE"},
    {"PLX_DISABLE", PLX_DISABLE, 0x00221818, kBuffered,
     "Corvax2 : CORVAX_DISABLE_BRIDGE/PLX_DISABLE"},
    {"PLX_GET_BITMAP", PLX_GET_BITMAP, 0x0022181C, kBuffered, "Corvax2 : pfa = "},
    {"PLX_SET_LED", PLX_SET_LED, 0x00221820, kBuffered,
     "Corvax2 : CORVAX_SET_LED/PLX_SET_LED(ledType"},
    {"PLX_SET_LED_ALL", PLX_SET_LED_ALL, 0x00221824, kBuffered, ""},
    {"PLX_READ_CONFIG", PLX_READ_CONFIG, 0x0022182A, kOutDirect, "Corvax2 : read config PFA="},
    {"PLX_GET_VERSION", PLX_GET_VERSION, 0x0022198C, kBuffered,
     "Corvax2 : CORVAX_GET_VERSION/PLX_GET_VERSION"},
    {"PLX_SET_DEVICE_ID_LIST", PLX_SET_DEVICE_ID_LIST, 0x00221990, kBuffered,
     "Corvax2 : set device id list (0 = "},
};

TEST(ControlCodes, TwentyEightDistinctCodesAsPublished) {
    static_assert(sizeof(kCodes) / sizeof(kCodes[0]) == 28, "every code of the interface");
    std::vector<uint32_t> seen;
    for (const CodeCase& c : kCodes) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.code, c.literal);
        EXPECT_EQ(c.code & 3u, c.method);
        EXPECT_EQ(c.code >> 16, 0x22u);      // FILE_DEVICE_UNKNOWN
        EXPECT_EQ((c.code >> 14) & 3u, 0u);  // FILE_ANY_ACCESS
        seen.push_back(c.code);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}

class ControlCodeHandler : public DriverTest, public ::testing::WithParamInterface<CodeCase> {};

// Every code on a machine with a PEX 8618 (so that every handler has something to do), with an
// input a drive's PFA and an LED type, and room for any answer.
TEST_P(ControlCodeHandler, ReachesItsOwnHandler) {
    const CodeCase& c = GetParam();
    Attach(std::make_unique<sim::Fabric>(Plx8618Machine().Build()));
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    ClearLog();
    fabric_->ClearConfigWrites();
    const Reply r = Send(c.code, Ulongs({0x0400, 2}), 4096);
    EXPECT_EQ(r.status, KERN_STATUS_SUCCESS);
    const std::vector<std::string> lines = Lines();
    const bool restores =
        std::find(lines.begin(), lines.end(),
                  "Corvax2 : Restore PCI configuration memory & MSI-X table") != lines.end();
    if (c.firstLine[0] == '\0') {
        // The all-ports LED request logs nothing and writes Slot Control of every port.
        EXPECT_TRUE(lines.empty());
        EXPECT_EQ(fabric_->ConfigWrites().size(), 12u);
        return;
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind(c.firstLine, 0), 0u) << lines[0];
    const std::string name = c.name;
    EXPECT_EQ(restores, name.find("RESCAN_RESTORE") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Codes, ControlCodeHandler, ::testing::ValuesIn(kCodes),
                         [](const ::testing::TestParamInfo<CodeCase>& p) {
                             return std::string(p.param.name);
                         });

}  // namespace
}  // namespace corvax_test
