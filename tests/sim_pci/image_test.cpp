// Register images of real machines: reading lspci captures, finding their capabilities, and the
// write rules derived from them, held against what the captures themselves show.
#include "sim/pci/image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "sim/pci/description.h"
#include "sim/pci/fabric.h"

namespace sim {
namespace {

std::string Image(const char* name) {
    return std::string(CORVAX_FABRICS_DIR) + "/images/" + name;
}

uint32_t DwordOf(const RegisterImage& image, unsigned offset) {
    return uint32_t{image.bytes[offset]} | uint32_t{image.bytes[offset + 1]} << 8 |
           uint32_t{image.bytes[offset + 2]} << 16 | uint32_t{image.bytes[offset + 3]} << 24;
}

struct CaptureCase {
    const char* file;
    size_t size;
    uint32_t id;
    Capabilities caps;
};

class Captures : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(Captures, ReadWithTheirCapabilities) {
    const CaptureCase& c = GetParam();
    const RegisterImage image = ReadRegisterImage(Image(c.file), "image");
    EXPECT_EQ(image.bytes.size(), c.size);
    EXPECT_EQ(DwordOf(image, 0), c.id);
    ConfigSpace space;
    LoadImage(space, image);
    const Capabilities caps = FindCapabilities(space);
    EXPECT_EQ(caps.pm, c.caps.pm);
    EXPECT_EQ(caps.msi, c.caps.msi);
    EXPECT_EQ(caps.pcie, c.caps.pcie);
    EXPECT_EQ(caps.msix, c.caps.msix);
    EXPECT_EQ(caps.aer, c.caps.aer);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Captures,
    ::testing::Values(
        // The Intel P3700-class drive: PCI Express at 0x60, MSI-X at 0x50; 272 bytes captured.
        CaptureCase{"nvme-8086-0953.txt", 4096, 0x09538086, {0x40, 0, 0x60, 0x50, 0x100}},
        // The Samsung PM174x: PCI Express at 0x70, MSI-X at 0xB0 (its MSI at 0x50 is off the
        // list).
        CaptureCase{"nvme-144d-a826.txt", 4096, 0xA826144D, {0x40, 0, 0x70, 0xB0, 0x100}},
        // PLX ports keep their PCI Express capability at 0x68.
        CaptureCase{"plx8749-upstream.txt", 256, 0x874910B5, {0x40, 0x48, 0x68, 0, 0}},
        CaptureCase{"plx8749-downstream.txt", 256, 0x874910B5, {0x40, 0x48, 0x68, 0, 0}},
        CaptureCase{"plx8796-upstream.txt", 4096, 0x879610B5, {0x40, 0x48, 0x68, 0, 0xFB4}},
        CaptureCase{"hostbridge-8086-4641.txt", 256, 0x46418086, {0, 0, 0, 0, 0}},
        CaptureCase{"hostbridge-8086-2020.txt", 4096, 0x20208086, {0xE0, 0, 0x90, 0, 0}}),
    [](const ::testing::TestParamInfo<CaptureCase>& p) {
        std::string name = p.param.file;
        for (char& ch : name) {
            if (!isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        return name;
    });

TEST(Captures, WindowRegistersAsTheMachinesHadThem) {
    EXPECT_EQ(DwordOf(ReadRegisterImage(Image("hostbridge-8086-4641.txt"), "i"), 0x60),
              0xC0000001u);
    EXPECT_EQ(DwordOf(ReadRegisterImage(Image("hostbridge-8086-3e34.txt"), "i"), 0x60),
              0xF0000003u);
    EXPECT_EQ(DwordOf(ReadRegisterImage(Image("hostbridge-8086-2020.txt"), "i"), 0x60),
              0x01029005u);
}

struct BadText {
    const char* name;
    std::string text;
    const char* message;
};

class ImageErrors : public ::testing::TestWithParam<BadText> {};

TEST_P(ImageErrors, NameTheKeyAndWhatIsWrong) {
    try {
        ParseRegisterImage(GetParam().text, "onboard[0].drive.image: x.txt");
        FAIL() << "accepted";
    } catch (const FabricError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind("onboard[0].drive.image: x.txt: ", 0), 0u)
            << e.what();
    }
}

std::string Lines(unsigned from, unsigned to) {
    std::string text;
    for (unsigned offset = from; offset < to; offset += 16) {
        char line[80];
        std::snprintf(line, sizeof line, "%02x: 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n",
                      offset);
        text += line;
    }
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ImageErrors,
    ::testing::Values(
        BadText{"Empty", "", "holds 0 bytes of the 256-byte header"},
        BadText{"Short", Lines(0, 0xD0), "holds 208 bytes of the 256-byte header"},
        BadText{"Gap", Lines(0, 0x40) + Lines(0x50, 0x100), "holds 64 bytes"},
        BadText{"Twice", Lines(0, 0x100) + Lines(0x40, 0x50), "byte 0x40 is given twice"},
        BadText{"ProseOnly", "Capabilities: [40] Power Management\n", "holds 0 bytes"}),
    [](const ::testing::TestParamInfo<BadText>& p) { return std::string(p.param.name); });

TEST(ImageText, OtherLinesAreNotRegisterContent) {
    const std::string text = "# comment\n00:1f.2 SATA controller: Intel\n\tControl: I/O+ Mem+\n" +
                             Lines(0, 0x100) + "\r\n";
    const RegisterImage image = ParseRegisterImage(text, "k");
    ASSERT_EQ(image.bytes.size(), 256u);
    EXPECT_EQ(image.bytes[0x41], 0x01);
    EXPECT_EQ(image.bytes[0xFF], 0x0F);
}

TEST(ImageText, AnUnreadableFileSaysWhy) {
    try {
        ReadRegisterImage("/nonexistent/image.txt", "host_bridge.image");
        FAIL();
    } catch (const FabricError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "host_bridge.image: /nonexistent/image.txt: cannot be read: No such file or "
                  "directory");
    }
}

// The write rules on real layouts: what hardware makes writable takes writes, the rest keeps
// the captured value, and status bits clear when written with ones.
class Rules : public ::testing::Test {
  protected:
    ConfigSpace Load(const char* file, FunctionRole role, uint64_t barSize) {
        ConfigSpace c;
        LoadImage(c, ReadRegisterImage(Image(file), "image"));
        DeriveMasks(c, role, barSize);
        return c;
    }
};

TEST_F(Rules, IntelDriveTakesItsPayloadInItsOwnDeviceControl) {
    ConfigSpace c = Load("nvme-8086-0953.txt", FunctionRole::Endpoint, 0x4000);
    const uint32_t slotControl = c.Dword(0x78);  // reserved in an endpoint
    c.Write(0x68, 2, 0x2930);                    // 256-byte payloads
    EXPECT_EQ(c.Read(0x68, 2), 0x2930u);
    c.Write(0x78, 4, 0xFFFFFFFF);
    EXPECT_EQ(c.Dword(0x78), slotControl);
    // Device Status's error bits clear on a one.
    c.Poke(0x68, c.Dword(0x68) | 0x000F0000);
    c.Write(0x6A, 2, 0x0005);
    EXPECT_EQ(c.Read(0x6A, 2) & 0xF, 0xAu);
    // BAR0 sized 16 KiB, 64-bit.
    c.Write(0x10, 4, 0xFFFFFFFF);
    c.Write(0x14, 4, 0xFFFFFFFF);
    EXPECT_EQ(c.Dword(0x10), 0xFFFFC004u);
    EXPECT_EQ(c.Dword(0x14), 0xFFFFFFFFu);
    // MSI-X Enable and Function Mask, not the table size.
    c.Write(0x52, 2, 0xFFFF);
    EXPECT_EQ(c.Read(0x52, 2), 0xC01Fu);
    // The identifiers and the class stay as captured.
    c.Write(0x00, 4, 0);
    c.Write(0x08, 4, 0);
    EXPECT_EQ(c.Dword(0x00), 0x09538086u);
    EXPECT_EQ(c.Dword(0x08) & 0xFFFFFF00u, 0x01080200u);
}

TEST_F(Rules, SamsungDriveLinkControlTakesOnlyAnEndpointsBits) {
    ConfigSpace c = Load("nvme-144d-a826.txt", FunctionRole::Endpoint, 0x4000);
    const uint32_t before = c.Dword(0x80);
    c.Write(0x80, 2, 0xFFFF);
    EXPECT_EQ(c.Dword(0x80) & 0xFFFF, 0x03CBu);
    EXPECT_EQ(c.Dword(0x80) >> 16, before >> 16);  // Link Status read-only in an endpoint
    // Power management: D3hot requested, PME status cleared by a one.
    c.Poke(0x44, c.Dword(0x44) | 0x8000);
    c.Write(0x44, 2, 0x8003);
    EXPECT_EQ(c.Read(0x44, 2) & 0x8003u, 0x0003u);
}

TEST_F(Rules, DownstreamPortSlotAndLinkStatus) {
    ConfigSpace c = Load("plx8749-downstream.txt", FunctionRole::DownstreamPort, 0);
    // Slot Control writable, Slot Status's event bits write-one-to-clear.
    c.Poke(0x80, (c.Dword(0x80) & 0xFFFF) | 0x011F0000u);
    c.Write(0x80, 4, 0x00010400);
    EXPECT_EQ(c.Dword(0x80) & 0xFFFF, 0x0400u);
    EXPECT_EQ(c.Dword(0x80) >> 16, 0x011Eu);
    // Link Disable and the bandwidth-change status bits.
    c.Poke(0x78, 0xC0000000u);
    c.Write(0x78, 4, 0x40000010);
    EXPECT_EQ(c.Dword(0x78), 0x80000010u);
    // Bus numbers and Secondary Bus Reset.
    c.Write(0x18, 4, 0x00070602);
    EXPECT_EQ(c.Dword(0x18) & 0x00FFFFFF, 0x00070602u);
    c.Write(0x3E, 2, 0x0040);
    EXPECT_EQ(c.Read(0x3E, 2) & 0x0040, 0x0040u);
}

TEST_F(Rules, UpstreamPortHasNoSlotAndNoLinkStatusEvents) {
    ConfigSpace c = Load("plx8749-upstream.txt", FunctionRole::UpstreamPort, 0x40000);
    const uint32_t slot = c.Dword(0x80);
    c.Write(0x80, 4, 0xFFFFFFFF);
    EXPECT_EQ(c.Dword(0x80), slot);
    c.Write(0x78, 2, 0xFFFF);
    EXPECT_EQ(c.Dword(0x78) & 0xFFFF, 0x0FC3u);
    c.Write(0x10, 4, 0xFFFFFFFF);
    EXPECT_EQ(c.Dword(0x10) & ~0xFu, 0xFFFC0000u);  // 256 KiB
}

}  // namespace
}  // namespace sim

namespace sim {
namespace {

// A drive of each real layout behind a PEX 8748 made of PEX 8749 captures.
class ImageMachine : public ::testing::Test {
  protected:
    static std::shared_ptr<const RegisterImage> Load(const char* file) {
        return std::make_shared<const RegisterImage>(ReadRegisterImage(Image(file), "image"));
    }
    static FabricDescription Describe() {
        FabricBuilder b;
        b.HostBridge(0x8086, 0x4641, 0xC0000001);
        b.Switch(SwitchModel::Plx8748, 3, 4, 0x8FC00000, 256);
        DriveDescription intel = DriveDescription::FromImage(Load("nvme-8086-0953.txt"));
        intel.bar0 = 0x88100000;
        DriveDescription samsung = DriveDescription::FromImage(Load("nvme-144d-a826.txt"));
        samsung.bar0 = 0x88000000;
        samsung.bar0Size = 0x8000;
        b.Port(0, 5, samsung).Port(1, 6, intel);
        FabricDescription d = b.Build();
        d.switches[0].image = Load("plx8749-upstream.txt");
        for (PortDescription& port : d.switches[0].ports) {
            port.image = Load("plx8749-downstream-4.txt");
        }
        return d;
    }
    static uint32_t Read(Fabric& f, uint8_t bus, uint8_t device, unsigned offset) {
        f.WritePort(kConfigAddressPort, 0x80000000u | bus << 16 | device << 11 | offset);
        return f.ReadPort(kConfigDataPort);
    }
    static void Write(Fabric& f, uint8_t bus, uint8_t device, unsigned offset, uint32_t value) {
        f.WritePort(kConfigAddressPort, 0x80000000u | bus << 16 | device << 11 | offset);
        f.WritePort(kConfigDataPort, value);
    }
};

TEST_F(ImageMachine, DrivesStartAsTheFirmwareLeftTheirImages) {
    Fabric f(Describe());
    // The captures' own registers, with the description's BAR0 and payload size.
    EXPECT_EQ(Read(f, 6, 0, 0x00), 0x09538086u);
    EXPECT_EQ(Read(f, 6, 0, 0x10), 0x88100004u);
    EXPECT_EQ(Read(f, 6, 0, 0x2C), 0x00A81590u);                       // HPE subsystem, as captured
    EXPECT_EQ(Read(f, 6, 0, 0x50), 0x001F6011u);                       // MSI-X: 32 entries
    EXPECT_EQ(Read(f, 5, 0, 0xB0) & 0x07FF00FFu, 0x00800011u);         // 129 entries
    EXPECT_EQ(f.ReadPhysical(0x88004000 + 128 * 16, 4), 0xFEE00000u);  // the last entry
    EXPECT_EQ(f.ReadPhysical(0x88102000, 4), 0xFEE00000u);
    // The switch is an 8748 to the software, on the 8749's registers.
    EXPECT_EQ(Read(f, 3, 0, 0x00), 0x874810B5u);
    EXPECT_EQ(Read(f, 3, 0, 0x10), 0x8FC00000u);
    EXPECT_EQ(Read(f, 4, 8, 0x18) & 0xFFFFFF, 0x050504u);
}

TEST_F(ImageMachine, ALinkCycleResetsWhatAResetResetsAndKeepsTheRest) {
    Fabric f(Describe());
    const uint32_t subsystem = Read(f, 6, 0, 0x2C);
    const uint32_t linkCapabilities = Read(f, 6, 0, 0x6C);
    const uint32_t vendorSpecific = Read(f, 6, 0, 0x84);
    const uint32_t control = Read(f, 4, 9, 0x78) & 0xFFFF;
    Write(f, 4, 9, 0x78, control | 0x10);
    EXPECT_EQ(Read(f, 6, 0, 0x00), 0xFFFFFFFFu);  // off the bus
    Write(f, 4, 9, 0x78, control);
    ASSERT_EQ(Read(f, 6, 0, 0x00), 0x09538086u);
    EXPECT_EQ(Read(f, 6, 0, 0x04) & 0xFFFF, 0u);  // Command
    EXPECT_EQ(Read(f, 6, 0, 0x10), 0x00000004u);  // BAR0, its type kept
    EXPECT_EQ(Read(f, 6, 0, 0x14), 0u);           // upper half
    EXPECT_EQ(Read(f, 6, 0, 0x68) & 0xE0, 0u);    // 128-byte payloads
    EXPECT_EQ(Read(f, 6, 0, 0x50) >> 30, 0u);     // MSI-X off
    EXPECT_EQ(f.PeekDriveBar0(6, 0x2000), 0u);    // entries zero...
    EXPECT_EQ(f.PeekDriveBar0(6, 0x200C), 1u);    // ...and masked
    EXPECT_EQ(Read(f, 6, 0, 0x2C), subsystem);    // the rest as in the image
    EXPECT_EQ(Read(f, 6, 0, 0x6C), linkCapabilities);
    EXPECT_EQ(Read(f, 6, 0, 0x84), vendorSpecific);
}

TEST_F(ImageMachine, RegistersOfTheImageKeepTheirValuesWhateverIsWritten) {
    Fabric f(Describe());
    struct Case {
        uint8_t bus, device;
        unsigned offset;
        const char* what;
    };
    const Case readOnly[] = {{6, 0, 0x08, "class"},
                             {6, 0, 0x2C, "subsystem"},
                             {6, 0, 0x64, "Device Capabilities"},
                             {6, 0, 0x78, "Slot Control of an endpoint"},
                             {5, 0, 0xB4, "MSI-X table place"},
                             {3, 0, 0x00, "switch identifiers"},
                             {4, 8, 0x7C, "Slot Capabilities"}};
    for (const Case& c : readOnly) {
        const uint32_t before = Read(f, c.bus, c.device, c.offset);
        Write(f, c.bus, c.device, c.offset, ~before);
        EXPECT_EQ(Read(f, c.bus, c.device, c.offset), before) << c.what;
    }
}

TEST_F(ImageMachine, AFunctionOnItsImageAloneIsReadOnly) {
    FabricDescription d = FabricBuilder().Build();
    FunctionDescription fn;
    fn.pfa = 0x0100;
    fn.image = Load("nvme-8086-0953.txt");
    fn.dwords[0x00] = 0x12345678;
    d.functions.push_back(fn);
    Fabric f(d);
    EXPECT_EQ(Read(f, 1, 0, 0x00), 0x12345678u);  // the dword given over the image
    EXPECT_EQ(Read(f, 1, 0, 0x50), 0x001F6011u);
    Write(f, 1, 0, 0x04, 0);
    EXPECT_EQ(Read(f, 1, 0, 0x04), 0x00100406u);
}

TEST_F(ImageMachine, TheHostBridgeOfAnImageGivesItsWindowRegister) {
    FabricDescription d = FabricBuilder().Build();
    d.hostBridge.image = Load("hostbridge-8086-3e34.txt");
    d.hostBridge.vendor = 0x8086;
    d.hostBridge.device = 0x3E34;
    d.hostBridge.ecam = 0xF0000003;
    Fabric f(d);
    EXPECT_EQ(Read(f, 0, 0, 0x60), 0xF0000003u);
    EXPECT_EQ(f.EcamWindow(), 0xF0000000u);
    EXPECT_EQ(f.ReadPhysical(0xF0000000, 4), 0x3E348086u);
}

}  // namespace
}  // namespace sim
