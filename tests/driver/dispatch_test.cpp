// The control-request frame: selection by the full code, buffer rules, the version and
// device-ID-list requests, and the request lock.
#include <thread>

#include "tests/driver/driver_test_support.h"

namespace corvax_test {
namespace {

class DispatchTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
        ClearLog();
    }
};

TEST_F(DispatchTest, UnknownCodesSucceedWithNoBytesAndNoLog) {
    const uint32_t unknown[] = {
        CORVAX_CTL_CODE(0x500u, CORVAX_METHOD_IN_DIRECT),  // a used function, another method
        CORVAX_CTL_CODE(0x563u, CORVAX_METHOD_NEITHER),
        CORVAX_CTL_CODE(0x509u, CORVAX_METHOD_BUFFERED),
        CORVAX_CTL_CODE(0x50Bu, CORVAX_METHOD_BUFFERED),
        CORVAX_GET_VERSION | (1u << 14),  // another access value
        0x00231400u,                      // another device type
        0u,
    };
    for (uint32_t code : unknown) {
        SCOPED_TRACE(code);
        const Reply r = Send(code, Ulongs({1, 2, 3}), 16);
        EXPECT_EQ(r.status, KERN_STATUS_SUCCESS);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(r.output, std::vector<uint8_t>(16, 0xCC));
    }
    EXPECT_TRUE(Lines().empty());
}

TEST_F(DispatchTest, VersionAnswersWithTheNumericVersionOnBothCodes) {
    for (uint32_t code : {CORVAX_GET_VERSION, PLX_GET_VERSION}) {
        ClearLog();
        const Reply r = Send(code, {}, 4);
        EXPECT_EQ(r.status, KERN_STATUS_SUCCESS);
        EXPECT_EQ(r.information, 4u);
        EXPECT_EQ(r.output, (std::vector<uint8_t>{0x20, 0x01, 0x00, 0x02}));
        EXPECT_EQ(Lines(),
                  std::vector<std::string>{"Corvax2 : CORVAX_GET_VERSION/PLX_GET_VERSION"});
    }
}

TEST_F(DispatchTest, VersionReturnsOnlyFourBytesOfALargerBuffer) {
    const Reply r = Send(CORVAX_GET_VERSION, Ulongs({7, 7, 7}), 12);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(r.Ulong(0), CORVAX_DRIVER_VERSION);
    EXPECT_EQ(std::vector<uint8_t>(r.output.begin() + 4, r.output.end()),
              std::vector<uint8_t>(8, 0xCC));
}

TEST_F(DispatchTest, ErrorStatusOnABufferedRequestDeliversNoBytes) {
    const Reply r = Send(CORVAX_GET_VERSION, {}, 3);
    EXPECT_EQ(static_cast<uint32_t>(r.status), CORVAX_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.information, 0u);
    EXPECT_FALSE(r.delivered);
    EXPECT_EQ(r.output, std::vector<uint8_t>(3, 0xCC));
}

struct IdListCase {
    const char* name;
    std::vector<uint32_t> input;
    size_t extraBytes;           // trailing bytes that do not make a whole entry
    uint32_t written;            // entries stored
    std::vector<uint32_t> head;  // the list's first entries afterwards
};

class SetDeviceIdListTest : public DispatchTest,
                            public ::testing::WithParamInterface<IdListCase> {};

TEST_P(SetDeviceIdListTest, StoresEntriesUpToTheFirstZeroAndLogsEach) {
    const IdListCase& c = GetParam();
    std::vector<uint8_t> input(c.input.size() * 4 + c.extraBytes, 0xAB);
    if (!c.input.empty()) {
        std::memcpy(input.data(), c.input.data(), c.input.size() * 4);
    }
    const uint32_t before = Extension()->DeviceIdList[c.written + 1];

    const Reply r = Send(PLX_SET_DEVICE_ID_LIST, input, 0);
    EXPECT_EQ(r.status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), c.written);
    for (uint32_t i = 0; i < c.written; ++i) {
        char line[80];
        std::snprintf(line, sizeof(line), "Corvax2 : set device id list (%u = 0x%08X)", i,
                      c.input[i]);
        EXPECT_EQ(lines[i], line);
    }
    for (size_t i = 0; i < c.head.size(); ++i) {
        EXPECT_EQ(Extension()->DeviceIdList[i], c.head[i]) << i;
    }
    if (c.written + 1 < corvax::kDeviceIdListEntries) {
        EXPECT_EQ(Extension()->DeviceIdList[c.written + 1], before);
    }
}

std::vector<uint32_t> Counting(uint32_t n) {
    std::vector<uint32_t> v(n);
    for (uint32_t i = 0; i < n; ++i) {
        v[i] = 0x1000 + i;
    }
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetDeviceIdListTest,
    ::testing::Values(
        IdListCase{"three_with_terminator", {0x8086, 0x144D, 0}, 0, 3, {0x8086, 0x144D, 0, 0xC0A9}},
        IdListCase{"three_bytes_write_nothing", {}, 3, 0, {CORVAX_MAKER_VENDOR_ID, 0x8086}},
        IdListCase{"no_terminator_keeps_old_tail",
                   {0x1111, 0x2222},
                   2,
                   2,
                   {0x1111, 0x2222, 0x1344, 0xC0A9}},
        IdListCase{"stops_at_first_zero", {0x1111, 0, 0x3333}, 0, 2, {0x1111, 0, 0x1344}}),
    [](const ::testing::TestParamInfo<IdListCase>& p) { return std::string(p.param.name); });

TEST_F(DispatchTest, SetDeviceIdListTakesAtMost256Entries) {
    const std::vector<uint32_t> ids = Counting(275);  // 1100 bytes, no zero
    std::vector<uint8_t> input(1100);
    std::memcpy(input.data(), ids.data(), 1100);
    const Reply r = Send(CORVAX_SET_DEVICE_ID_LIST, input, 0);
    EXPECT_EQ(r.status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Lines().size(), 256u);
    EXPECT_EQ(Lines().back(), "Corvax2 : set device id list (255 = 0x000010FF)");
    for (uint32_t i = 0; i < 256; ++i) {
        ASSERT_EQ(Extension()->DeviceIdList[i], 0x1000 + i);
    }
    // No zero entry left: a reader stops after entry 255 and matches nothing beyond it.
    EXPECT_FALSE(corvax::MatchDeviceIdList(0xABCD0000u | 0x1100u, Extension()->DeviceIdList));
    EXPECT_TRUE(corvax::MatchDeviceIdList(0x000010FFu, Extension()->DeviceIdList));
}

TEST_F(DispatchTest, RequestsFromManyThreadsNeverRunTogether) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < 50; ++i) {
                uint32_t out = 0;
                uint32_t list[2] = {0x8086, 0};
                sim::Kernel::Get().DeviceIoControl(handle_, CORVAX_SET_DEVICE_ID_LIST, list,
                                                   sizeof(list), nullptr, 0);
                sim::Kernel::Get().DeviceIoControl(handle_, PLX_GET_VERSION, nullptr, 0, &out, 4);
                ASSERT_EQ(out, CORVAX_DRIVER_VERSION);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(sim::Kernel::Get().GetViolations().Total(), 0u);
}

}  // namespace
}  // namespace corvax_test
