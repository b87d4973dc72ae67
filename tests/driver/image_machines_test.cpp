// The driver on machines built from real register images: drives whose PCI Express capability
// is not where the driver's original layout put it, MSI-X tables larger than the save area, PLX
// ports and host bridges as real machines have them.
#include <algorithm>
#include <cstdio>

#include "sim/pci/image.h"
#include "tests/driver/driver_test_support.h"

namespace corvax_test {
namespace {

using sim::DriveDescription;
using sim::FabricBuilder;
using sim::RegisterImage;

std::string ImageFile(const char* name) {
    return std::string(CORVAX_SOURCE_DIR) + "/examples/fabrics/images/" + name;
}

// The Intel drive's capture with its PCI Express capability moved to 0x80 (other real drives
// keep it there), as lspci text.
std::string IntelLayoutMovedTo0x80() {
    RegisterImage intel = sim::ReadRegisterImage(ImageFile("nvme-8086-0953.txt"), "image");
    std::vector<uint8_t> bytes(intel.bytes.begin(), intel.bytes.begin() + 256);
    const std::vector<uint8_t> capability(bytes.begin() + 0x60, bytes.begin() + 0x9C);
    std::fill(bytes.begin() + 0x60, bytes.begin() + 0xC0, 0);
    std::copy(capability.begin(), capability.end(), bytes.begin() + 0x80);
    bytes[0x51] = 0x80;  // MSI-X's next pointer
    std::string text = "# the Intel capture, PCI Express capability at 0x80\n";
    for (unsigned line = 0; line < 256; line += 16) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%02x:", line);
        text += buf;
        for (unsigned i = 0; i < 16; ++i) {
            std::snprintf(buf, sizeof buf, " %02x", bytes[line + i]);
            text += buf;
        }
        text += "\n";
    }
    return text;
}

struct LayoutCase {
    const char* name;
    std::shared_ptr<const RegisterImage> image;
    unsigned deviceControl;  // where the drive's own Device Control is
};

class PayloadAlignment : public DriverTest, public ::testing::WithParamInterface<LayoutCase> {};

// The update aligns Max_Payload_Size in the drive's own Device Control, wherever its capability
// puts it, and writes no other register above the standard header.
TEST_P(PayloadAlignment, LandsInTheDrivesOwnDeviceControl) {
    const LayoutCase& c = GetParam();
    DriveDescription drive = DriveDescription::FromImage(c.image);
    drive.bar0 = 0xF1000000;
    drive.bar0Size = 0x8000;
    drive.maxPayload = 128;
    FabricBuilder b;
    b.Switch(sim::SwitchModel::Plx8732, 1, 2, 0, 256).Port(0, 3, drive);
    Attach(std::make_unique<sim::Fabric>(b.Build()));
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);

    EXPECT_EQ(fabric_->PeekConfig(3, 0, 0, c.deviceControl) & 0xE0u, 0x20u);
    std::vector<unsigned> written;
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        if (w.pfa == 0x0300 && w.offset >= 0x40) {
            written.push_back(w.offset);
        }
    }
    EXPECT_EQ(written, std::vector<unsigned>{c.deviceControl});
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PayloadAlignment,
    ::testing::Values(LayoutCase{"IntelAt0x60",
                                 std::make_shared<const RegisterImage>(sim::ReadRegisterImage(
                                     ImageFile("nvme-8086-0953.txt"), "image")),
                                 0x68},
                      LayoutCase{"SamsungAt0x70",
                                 std::make_shared<const RegisterImage>(sim::ReadRegisterImage(
                                     ImageFile("nvme-144d-a826.txt"), "image")),
                                 0x78},
                      LayoutCase{"At0x80",
                                 std::make_shared<const RegisterImage>(
                                     sim::ParseRegisterImage(IntelLayoutMovedTo0x80(), "image")),
                                 0x88}),
    [](const ::testing::TestParamInfo<LayoutCase>& p) { return std::string(p.param.name); });

// The drive's state the restore is to bring back.
struct DriveState {
    std::vector<uint32_t> header;  // the standard header
    uint32_t deviceControl;
    std::vector<uint32_t> table;  // every entry, four dwords each
};

class ImageExample : public DriverTest, public ::testing::WithParamInterface<const char*> {
  protected:
    DriveState StateOf(uint8_t bus) {
        DriveState s;
        for (unsigned o = 0; o < 0x40; o += 4) {
            s.header.push_back(fabric_->PeekConfig(bus, 0, 0, o));
        }
        const uint32_t id = s.header[0];
        const bool intel = (id & 0xFFFF) == 0x8086;
        s.deviceControl = fabric_->PeekConfig(bus, 0, 0, intel ? 0x68 : 0x78) & 0xFFFF;
        const unsigned entries = intel ? 32 : 129;
        const uint64_t table = intel ? 0x2000 : 0x4000;
        for (unsigned d = 0; d < entries * 4; ++d) {
            s.table.push_back(fabric_->PeekDriveBar0(bus, table + d * 4));
        }
        return s;
    }
};

// A whole cycle on the image examples: every listed drive behind the switch comes back from
// the link cut with its header and the first 16 entries of its MSI-X table, at the table's own
// place; the entries past the save area stay as the reset left them; nothing is written outside
// device pages.
TEST_P(ImageExample, EveryListedDriveGetsItsHeaderAndSixteenVectorsBack) {
    Attach(sim::Fabric::FromFile(std::string(CORVAX_SOURCE_DIR) + "/examples/fabrics/" +
                                 GetParam() + ".json"));
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    const uint8_t listed[] = {5, 6, 8, 9, 11, 12};
    std::vector<DriveState> before;
    for (uint8_t bus : listed) {
        before.push_back(StateOf(bus));
    }
    ASSERT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    ASSERT_EQ(Send(PLX_ENABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    fabric_->Wait(2000000);  // links trained, drives started
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);

    for (size_t i = 0; i < sizeof(listed); ++i) {
        SCOPED_TRACE(listed[i]);
        const DriveState after = StateOf(listed[i]);
        EXPECT_EQ(after.header[1] & 0xFFFF, before[i].header[1] & 0xFFFF);  // Command
        EXPECT_EQ(after.header[4], before[i].header[4]);                    // BAR0
        EXPECT_EQ(after.header[5], before[i].header[5]);
        EXPECT_EQ(after.header[3] & 0xFF, before[i].header[3] & 0xFF);  // cache line size
        EXPECT_EQ(after.deviceControl, before[i].deviceControl);
        for (size_t d = 0; d < after.table.size(); ++d) {
            const size_t entry = d / 4;
            const uint32_t reset = d % 4 == 3 ? 1u : 0u;
            EXPECT_EQ(after.table[d], entry < 16 ? before[i].table[d] : reset) << "dword " << d;
        }
    }
    EXPECT_EQ(fabric_->PeekConfig(7, 0, 0, 0x10) & ~0xFu, 0u);  // the unlisted vendor's
    EXPECT_TRUE(fabric_->Faults().Empty());
    const sim::Counters counters = fabric_->GetCounters();
    EXPECT_EQ(counters.ramMappings, 0u);
    EXPECT_EQ(counters.earlyConfig, 0u);
    ExpectNothingMapped();
}

INSTANTIATE_TEST_SUITE_P(Examples, ImageExample,
                         ::testing::Values("workstation-images", "xeon-images"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             std::string name = p.param;
                             name.replace(name.find('-'), 1, "_");
                             return name;
                         });

}  // namespace
}  // namespace corvax_test
