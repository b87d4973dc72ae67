// The harness's own parts: the instruction decoder, the loader's refusal of imports it cannot
// bind, and the shipped image loaded and asked a question directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/control/corvax_ioctl.h"
#include "sim/pci/fabric.h"
#include "tools/harness/pe_image.h"
#include "tools/harness/shipped_kernel.h"
#include "tools/harness/x86_decode.h"

namespace {

using harness::Decode;
using harness::Instruction;

Instruction D(std::vector<uint8_t> bytes) {
    return Decode(bytes.data(), bytes.size());
}

TEST(Decode, PortInstructions) {
    Instruction in = D({0xED});
    EXPECT_EQ(in.kind, Instruction::Kind::PortIn);
    EXPECT_EQ(in.size, 4u);
    EXPECT_TRUE(in.portInDx);
    EXPECT_EQ(in.length, 1u);
    Instruction out = D({0xEF});
    EXPECT_EQ(out.kind, Instruction::Kind::PortOut);
    EXPECT_EQ(out.size, 4u);
    Instruction byteImm = D({0xE4, 0x80});
    EXPECT_EQ(byteImm.kind, Instruction::Kind::PortIn);
    EXPECT_EQ(byteImm.size, 1u);
    EXPECT_FALSE(byteImm.portInDx);
    EXPECT_EQ(byteImm.value, 0x80u);
    EXPECT_EQ(byteImm.length, 2u);
    EXPECT_EQ(D({0x66, 0xEF}).size, 2u);
}

TEST(Decode, Cr8Moves) {
    Instruction read = D({0x44, 0x0F, 0x20, 0xC3});  // mov rbx, cr8
    EXPECT_EQ(read.kind, Instruction::Kind::Cr8Read);
    EXPECT_EQ(read.reg, 3);
    EXPECT_EQ(read.length, 4u);
    Instruction write = D({0x44, 0x0F, 0x22, 0xC0});  // mov cr8, rax
    EXPECT_EQ(write.kind, Instruction::Kind::Cr8Write);
    EXPECT_EQ(write.reg, 0);
    Instruction high = D({0x45, 0x0F, 0x22, 0xC1});  // mov cr8, r9
    EXPECT_EQ(high.reg, 9);
    // Without REX.R it is CR0, which the harness does not emulate.
    EXPECT_EQ(D({0x0F, 0x22, 0xC0}).kind, Instruction::Kind::Unknown);
}

TEST(Decode, DeviceMemoryMoves) {
    Instruction movzx = D({0x0F, 0xB6, 0x01});  // movzx eax, byte [rcx]
    EXPECT_EQ(movzx.kind, Instruction::Kind::Load);
    EXPECT_EQ(movzx.size, 1u);
    EXPECT_TRUE(movzx.zeroExtend);
    EXPECT_EQ(movzx.reg, 0);
    EXPECT_EQ(movzx.length, 3u);
    Instruction load = D({0x8B, 0x01});  // mov eax, [rcx]
    EXPECT_EQ(load.size, 4u);
    EXPECT_EQ(load.length, 2u);
    Instruction storeByte = D({0x88, 0x11});  // mov [rcx], dl
    EXPECT_EQ(storeByte.kind, Instruction::Kind::Store);
    EXPECT_EQ(storeByte.size, 1u);
    EXPECT_EQ(storeByte.reg, 2);
    EXPECT_FALSE(storeByte.highByte);
    Instruction storeHigh = D({0x88, 0x31});  // mov [rcx], dh
    EXPECT_TRUE(storeHigh.highByte);
    EXPECT_EQ(storeHigh.reg, 2);
    Instruction storeR = D({0x44, 0x89, 0x44, 0x24, 0x10});  // mov [rsp+16], r8d
    EXPECT_EQ(storeR.reg, 8);
    EXPECT_EQ(storeR.size, 4u);
    EXPECT_EQ(storeR.length, 5u);
    Instruction sib = D({0x42, 0x8B, 0x04, 0x81});  // mov eax, [rcx+r8*4]
    EXPECT_EQ(sib.length, 4u);
    Instruction disp32 = D({0x8B, 0x81, 0x00, 0x20, 0x00, 0x00});  // mov eax, [rcx+0x2000]
    EXPECT_EQ(disp32.length, 6u);
    Instruction imm = D({0xC7, 0x41, 0x04, 0x78, 0x56, 0x34, 0x12});  // mov dword [rcx+4], imm
    EXPECT_EQ(imm.kind, Instruction::Kind::Store);
    EXPECT_TRUE(imm.immediate);
    EXPECT_EQ(imm.value, 0x12345678u);
    EXPECT_EQ(imm.length, 7u);
    EXPECT_EQ(D({0x48, 0x8B, 0x01}).size, 8u);
    EXPECT_EQ(D({0x8B, 0xC1}).kind, Instruction::Kind::Unknown);  // register to register
    EXPECT_EQ(D({0x0F, 0xB6}).kind, Instruction::Kind::Unknown);  // cut short
}

std::vector<uint8_t> Image() {
    return harness::PeImage::ReadFile(CORVAX_SHIPPED_IMAGE);
}

TEST(Loader, BindsEveryImportOfTheShippedImage) {
    const std::vector<std::string> implemented = harness::ShippedKernel::Implemented();
    harness::PeImage image(Image(), [&](const harness::ImportName& name) -> void* {
        static int anything;
        const std::string full = name.module + "!" + name.name;
        return std::count(implemented.begin(), implemented.end(), full) != 0 ? &anything : nullptr;
    });
    EXPECT_FALSE(image.Imports().empty());
    EXPECT_GT(image.RelocationsApplied(), 0u);
    EXPECT_NE(reinterpret_cast<uint64_t>(image.Base()), image.PreferredBase());
}

TEST(Loader, NamesEveryImportItCannotBind) {
    // The image with two import names changed, as a driver that gained a kernel call would be.
    std::vector<uint8_t> file = Image();
    auto rename = [&](const std::string& from, const std::string& to) {
        ASSERT_EQ(from.size(), to.size());
        auto at = std::search(file.begin(), file.end(), from.begin(), from.end());
        ASSERT_NE(at, file.end()) << from;
        std::copy(to.begin(), to.end(), at);
    };
    rename(std::string("RtlLengthSid") + '\0', std::string("RtlLengthSiX") + '\0');
    rename(std::string("IoFreeMdl") + '\0', std::string("IoFreeMdX") + '\0');
    sim::Fabric fabric(sim::FabricDescription{});
    harness::ShippedKernel kernel(&fabric);
    try {
        kernel.Load(file);
        FAIL() << "an image with unknown imports loaded";
    } catch (const harness::ImageError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("ntoskrnl.exe!RtlLengthSiX"), std::string::npos) << message;
        EXPECT_NE(message.find("ntoskrnl.exe!IoFreeMdX"), std::string::npos) << message;
        EXPECT_EQ(message.find("IoCreateDevice"), std::string::npos) << message;
    }
    EXPECT_FALSE(kernel.Loaded());
}

TEST(ShippedDriver, LoadsAnswersAndUnloadsCleanly) {
    std::unique_ptr<sim::Fabric> fabric = sim::Fabric::FromJson(sim::DefaultFabricJson());
    harness::ShippedKernel kernel(fabric.get());
    ASSERT_EQ(kernel.Load(Image()), 0);
    const int handle = kernel.Open(CORVAX_USER_PATH);
    ASSERT_NE(handle, -1);
    EXPECT_EQ(kernel.Open("\\\\.\\NoSuchDevice"), -1);
    uint32_t version = 0;
    harness::IoResult r =
        kernel.DeviceIoControl(handle, CORVAX_GET_VERSION, nullptr, 0, &version, sizeof(version));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(version, CORVAX_DRIVER_VERSION);
    // The scan at load went through the configuration ports and the views.
    EXPECT_GT(fabric->GetCounters().portPairs, 0u);
    EXPECT_GT(kernel.Mappings().ioSpaceMaps, 0u);
    EXPECT_EQ(kernel.Mappings().liveViews, 0);
    EXPECT_FALSE(kernel.LogLines().empty());
    kernel.Close(handle);
    kernel.Unload();
    EXPECT_FALSE(kernel.Loaded());
    EXPECT_TRUE(kernel.Violations().empty()) << kernel.Violations().front();
}

}  // namespace
