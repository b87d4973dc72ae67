// The harness's own parts: the instruction decoder, the loader's refusal of imports it cannot
// bind, and the shipped image loaded and asked a question directly.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
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
using Kind = harness::Instruction::Kind;

// What the trap handler needs of one instruction, in one line: kind, length, bytes moved,
// register number and width, then the flags that are set.
std::string Summary(const Instruction& in) {
    static const char* const kKinds[] = {"Unknown",  "PortIn", "PortOut", "Cr8Read",
                                         "Cr8Write", "Load",   "Store"};
    if (in.kind == Kind::Unknown) {
        return "Unknown";
    }
    char text[160];
    std::snprintf(text, sizeof(text), "%s len=%u size=%u reg=%d/%u%s%s%s%s",
                  kKinds[static_cast<int>(in.kind)], in.length, in.size, in.reg, in.regSize,
                  in.highByte ? " high" : "", in.signExtend ? " sext" : "",
                  in.immediate ? (" imm=" + std::to_string(in.value)).c_str() : "",
                  in.portInDx ? " dx" : "");
    return text;
}

struct DecodeCase {
    const char* text;
    std::vector<uint8_t> bytes;
    const char* summary;
};

const DecodeCase kDecodeCases[] = {
    {"in eax, dx", {0xED}, "PortIn len=1 size=4 reg=0/4 dx"},
    {"out dx, eax", {0xEF}, "PortOut len=1 size=4 reg=0/4 dx"},
    {"in al, 0x80", {0xE4, 0x80}, "PortIn len=2 size=1 reg=0/1 imm=128"},
    {"out dx, ax", {0x66, 0xEF}, "PortOut len=2 size=2 reg=0/2 dx"},
    {"mov rbx, cr8", {0x44, 0x0F, 0x20, 0xC3}, "Cr8Read len=4 size=8 reg=3/8"},
    {"mov cr8, rax", {0x44, 0x0F, 0x22, 0xC0}, "Cr8Write len=4 size=8 reg=0/8"},
    {"mov cr8, r9", {0x45, 0x0F, 0x22, 0xC1}, "Cr8Write len=4 size=8 reg=9/8"},
    {"movzx eax, byte [rcx]", {0x0F, 0xB6, 0x01}, "Load len=3 size=1 reg=0/4"},
    {"movzx ax, byte [rcx]", {0x66, 0x0F, 0xB6, 0x01}, "Load len=4 size=1 reg=0/2"},
    {"movsx edx, word [rcx]", {0x0F, 0xBF, 0x11}, "Load len=3 size=2 reg=2/4 sext"},
    {"movsxd rax, dword [rcx]", {0x48, 0x63, 0x01}, "Load len=3 size=4 reg=0/8 sext"},
    {"mov eax, [rcx]", {0x8B, 0x01}, "Load len=2 size=4 reg=0/4"},
    {"mov rax, [rcx]", {0x48, 0x8B, 0x01}, "Load len=3 size=8 reg=0/8"},
    {"mov eax, [rcx+r8*4]", {0x42, 0x8B, 0x04, 0x81}, "Load len=4 size=4 reg=0/4"},
    {"mov eax, [rcx+0x2000]", {0x8B, 0x81, 0x00, 0x20, 0x00, 0x00}, "Load len=6 size=4 reg=0/4"},
    {"mov r10b, [rip+0x10]", {0x44, 0x8A, 0x15, 0x10, 0, 0, 0}, "Load len=7 size=1 reg=10/1"},
    {"mov [rcx], dl", {0x88, 0x11}, "Store len=2 size=1 reg=2/1"},
    {"mov [rcx], dh", {0x88, 0x31}, "Store len=2 size=1 reg=2/1 high"},
    {"mov [rcx], sil", {0x40, 0x88, 0x31}, "Store len=3 size=1 reg=6/1"},
    {"mov [rsp+16], r8d", {0x44, 0x89, 0x44, 0x24, 0x10}, "Store len=5 size=4 reg=8/4"},
    {"mov dword [rcx+4], imm",
     {0xC7, 0x41, 0x04, 0x78, 0x56, 0x34, 0x12},
     "Store len=7 size=4 reg=-1/0 imm=305419896"},
    {"mov word [rcx], imm", {0x66, 0xC7, 0x01, 0x34, 0x12}, "Store len=5 size=2 reg=-1/0 imm=4660"},
    // Nothing the trap handler may carry out.
    {"mov eax, ecx", {0x8B, 0xC1}, "Unknown"},
    {"mov rax, cr0", {0x0F, 0x20, 0xC0}, "Unknown"},
    {"add dword [rcx], 1", {0x83, 0x01, 0x01}, "Unknown"},
    {"mov es, [rcx]", {0x8E, 0x01}, "Unknown"},
    {"movzx cut short", {0x0F, 0xB6}, "Unknown"},
};

TEST(Decode, EveryFormTheTrapHandlerCarriesOut) {
    for (const DecodeCase& c : kDecodeCases) {
        EXPECT_EQ(Summary(Decode(c.bytes.data(), c.bytes.size())), c.summary) << c.text;
    }
}

TEST(Decode, ReadsNoFurtherThanItIsAllowed) {
    // The same bytes followed by more: only the instruction's own count.
    const uint8_t bytes[] = {0x8B, 0x81, 0x00, 0x20, 0x00, 0x00, 0x90, 0x90};
    EXPECT_EQ(Decode(bytes, sizeof(bytes)).length, 6u);
    EXPECT_EQ(Decode(bytes, 5).kind, Kind::Unknown);
}

TEST(Decode, DescribesAnInstructionByItsBytesAndItsDisassembly) {
    struct Case {
        std::vector<uint8_t> bytes;
        std::string text;
    } cases[] = {
        {{0x83, 0x01, 0x01, 0x90}, "83 01 01 (add dword ptr [rcx], 0x01)"},
        {{0xFA}, "fa (cli)"},
        {{0x0F, 0x30}, "0f 30 (wrmsr)"},
        {{0x06}, "06 (not an instruction)"},
    };
    for (const Case& c : cases) {
        char text[128];
        harness::DescribeInstruction(c.bytes.data(), c.bytes.size(), text, sizeof(text));
        EXPECT_EQ(std::string(text), c.text);
    }
    // A short buffer gets the start of the text, terminated, and nothing past its end.
    char tiny[8];
    std::memset(tiny, 'x', sizeof(tiny));
    harness::DescribeInstruction(cases[0].bytes.data(), cases[0].bytes.size(), tiny, 6);
    EXPECT_EQ(cases[0].text.rfind(tiny, 0), 0u) << tiny;
    EXPECT_LT(std::strlen(tiny), 6u);
    EXPECT_EQ(tiny[6], 'x');
}

std::vector<uint8_t> Image() {
    return harness::PeImage::ReadFile(CORVAX_SHIPPED_IMAGE);
}

TEST(Loader, BindsEveryImportOfTheShippedImage) {
    const std::vector<std::string> implemented = harness::ShippedKernel::Implemented();
    harness::PeImage image(Image(), [&](const harness::ImportName& name) -> void* {
        static int anything;
        // Module names are not case-sensitive (the image says "HAL.dll").
        std::string module = name.module;
        std::transform(module.begin(), module.end(), module.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const std::string full = module + "!" + name.name;
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

// The emulated kernel's own checks, called as the driver would call them.
#define MS_ABI __attribute__((ms_abi))
using MapIoSpaceEx = void*(MS_ABI*)(int64_t, uint64_t, uint32_t);
using MapIoSpace = void*(MS_ABI*)(int64_t, uint64_t, int32_t);
using UnmapIoSpace = void(MS_ABI*)(void*, uint64_t);
using AllocateMdl = void*(MS_ABI*)(void*, uint32_t, uint8_t, uint8_t, void*);
using BuildMdl = void(MS_ABI*)(void*);
using MapLockedPages = void*(MS_ABI*)(void*, int8_t, int32_t, void*, uint32_t, uint32_t);
using UnmapLockedPages = void(MS_ABI*)(void*, void*);
using FreeMdl = void(MS_ABI*)(void*);
using AllocatePoolWithTag = void*(MS_ABI*)(uint32_t, uint64_t, uint32_t);
using AllocatePool2 = void*(MS_ABI*)(uint64_t, uint64_t, uint32_t);
using FreePoolWithTag = void(MS_ABI*)(void*, uint32_t);

template <typename F>
F Routine(const char* name) {
    void* address = harness::ShippedKernel::Routine(name);
    EXPECT_NE(address, nullptr) << name;
    return reinterpret_cast<F>(address);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line + "\n";
    }
    return out;
}

constexpr int64_t kDevicePage = 0xF7000000;

TEST(KernelChecks, EveryIoSpaceMappingIsAskedNonExecutable) {
    struct Case {
        uint32_t protect;
        const char* violation;  // null: the mapping is fine
    } cases[] = {
        {0x204, nullptr},  // PAGE_READWRITE | PAGE_NOCACHE, what the driver asks
        {0x202, nullptr},  // PAGE_READONLY | PAGE_NOCACHE
        {0x404, nullptr},  // PAGE_READWRITE | PAGE_WRITECOMBINE
        {0x004, nullptr},  // PAGE_READWRITE, cached
        {0x240, "an executable mapping: MmMapIoSpaceEx with protection 0x240"},
        {0x220, "an executable mapping: MmMapIoSpaceEx with protection 0x220"},
        {0x210, "an executable mapping: MmMapIoSpaceEx with protection 0x210"},
        {0x000, "MmMapIoSpaceEx with an invalid protection 0x0"},
        {0x208, "MmMapIoSpaceEx with an invalid protection 0x208"},  // PAGE_WRITECOPY
        {0x604, "MmMapIoSpaceEx with an invalid protection 0x604"},  // both caching attributes
        {0x1204, "MmMapIoSpaceEx with an invalid protection 0x1204"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protect);
        sim::Fabric fabric(sim::FabricDescription{});
        harness::ShippedKernel kernel(&fabric);
        void* io = Routine<MapIoSpaceEx>("MmMapIoSpaceEx")(kDevicePage, 4096, c.protect);
        const bool invalid = c.violation != nullptr && std::strstr(c.violation, "invalid");
        EXPECT_EQ(io == nullptr, invalid);
        if (io != nullptr) {
            Routine<UnmapIoSpace>("MmUnmapIoSpace")(io, 4096);
        }
        EXPECT_EQ(Joined(kernel.Violations()),
                  c.violation == nullptr ? "" : std::string(c.violation) + "\n");
    }
}

TEST(KernelChecks, MmMapIoSpaceIsAnExecutableMapping) {
    sim::Fabric fabric(sim::FabricDescription{});
    harness::ShippedKernel kernel(&fabric);
    void* io = Routine<MapIoSpace>("MmMapIoSpace")(kDevicePage, 4096, 0);
    ASSERT_NE(io, nullptr);
    Routine<UnmapIoSpace>("MmUnmapIoSpace")(io, 4096);
    EXPECT_EQ(Joined(kernel.Violations()),
              "an executable mapping: MmMapIoSpace, whose mappings are executable\n");
}

TEST(KernelChecks, EveryDescriptorListViewIsAskedNonExecutable) {
    struct Case {
        uint32_t priority;
        const char* violation;
    } cases[] = {
        {0x40000010, nullptr},  // NormalPagePriority | MdlMappingNoExecute
        {0x40000020, nullptr},  // HighPagePriority | MdlMappingNoExecute
        {0x00000010,
         "an executable mapping: MmMapLockedPagesSpecifyCache without "
         "MdlMappingNoExecute (priority 0x10)"},
        {0x80000010,
         "an executable mapping: MmMapLockedPagesSpecifyCache without "
         "MdlMappingNoExecute (priority 0x80000010)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.priority);
        sim::Fabric fabric(sim::FabricDescription{});
        harness::ShippedKernel kernel(&fabric);
        void* io = Routine<MapIoSpaceEx>("MmMapIoSpaceEx")(kDevicePage, 4096, 0x204);
        void* mdl = Routine<AllocateMdl>("IoAllocateMdl")(io, 4096, 0, 0, nullptr);
        Routine<BuildMdl>("MmBuildMdlForNonPagedPool")(mdl);
        void* view = Routine<MapLockedPages>("MmMapLockedPagesSpecifyCache")(mdl, 0, 0, nullptr, 0,
                                                                             c.priority);
        EXPECT_NE(view, nullptr);
        Routine<UnmapLockedPages>("MmUnmapLockedPages")(view, mdl);
        Routine<FreeMdl>("IoFreeMdl")(mdl);
        Routine<UnmapIoSpace>("MmUnmapIoSpace")(io, 4096);
        EXPECT_EQ(Joined(kernel.Violations()),
                  c.violation == nullptr ? "" : std::string(c.violation) + "\n");
    }
}

TEST(KernelChecks, PoolFromAnExecutableTypeFailsTheRun) {
    struct Case {
        bool pool2;
        uint64_t type;  // POOL_TYPE, or ExAllocatePool2's POOL_FLAGS
        bool executable;
    } cases[] = {
        {false, 512, false},   // NonPagedPoolNx
        {false, 516, false},   // NonPagedPoolNxCacheAligned
        {false, 544, false},   // NonPagedPoolSessionNx
        {false, 1, false},     // PagedPool
        {false, 0, true},      // NonPagedPool
        {false, 4, true},      // NonPagedPoolCacheAligned
        {false, 32, true},     // NonPagedPoolSession
        {true, 0x40, false},   // POOL_FLAG_NON_PAGED
        {true, 0x100, false},  // POOL_FLAG_PAGED
        {true, 0x80, true},    // POOL_FLAG_NON_PAGED_EXECUTE
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.pool2) + " " + std::to_string(c.type));
        sim::Fabric fabric(sim::FabricDescription{});
        harness::ShippedKernel kernel(&fabric);
        void* block = c.pool2 ? Routine<AllocatePool2>("ExAllocatePool2")(c.type, 100, 0x78767243)
                              : Routine<AllocatePoolWithTag>("ExAllocatePoolWithTag")(
                                    static_cast<uint32_t>(c.type), 100, 0x78767243);
        ASSERT_NE(block, nullptr);
        std::memset(block, 0xA5, 100);
        Routine<FreePoolWithTag>("ExFreePoolWithTag")(block, 0x78767243);
        const std::string expected =
            !c.executable ? ""
            : c.pool2     ? "an allocation from executable pool: ExAllocatePool2 with "
                            "POOL_FLAG_NON_PAGED_EXECUTE\n"
                      : "an allocation from executable pool: ExAllocatePoolWithTag of pool type " +
                            std::to_string(c.type) + "\n";
        EXPECT_EQ(Joined(kernel.Violations()), expected);
    }
    // A block freed twice is a block the pool no longer knows.
    sim::Fabric fabric(sim::FabricDescription{});
    harness::ShippedKernel kernel(&fabric);
    void* block = Routine<AllocatePoolWithTag>("ExAllocatePoolWithTag")(512, 16, 0);
    Routine<FreePoolWithTag>("ExFreePoolWithTag")(block, 0);
    Routine<FreePoolWithTag>("ExFreePoolWithTag")(block, 0);
    EXPECT_EQ(Joined(kernel.Violations()),
              "ExFreePoolWithTag of memory the pool did not hand out\n");
}

TEST(KernelChecks, RoutinesFoundByNameAreTheBoundOnes) {
    using GetRoutine = void*(MS_ABI*)(void*);
    struct UnicodeString {
        uint16_t length;
        uint16_t maximumLength;
        uint32_t pad;
        const char16_t* buffer;
    };
    sim::Fabric fabric(sim::FabricDescription{});
    harness::ShippedKernel kernel(&fabric);
    auto find = [](const std::u16string& name) {
        UnicodeString s = {static_cast<uint16_t>(name.size() * 2),
                           static_cast<uint16_t>(name.size() * 2 + 2), 0, name.c_str()};
        return Routine<GetRoutine>("MmGetSystemRoutineAddress")(&s);
    };
    EXPECT_EQ(find(u"MmMapIoSpaceEx"), harness::ShippedKernel::Routine("MmMapIoSpaceEx"));
    EXPECT_EQ(find(u"MmMapIoSpace"), harness::ShippedKernel::Routine("MmMapIoSpace"));
    EXPECT_TRUE(kernel.Violations().empty());
    // Windows has it, the harness does not: the run cannot go as it would on Windows.
    EXPECT_EQ(find(u"KeQueryTimeIncrement"), nullptr);
    EXPECT_EQ(Joined(kernel.Violations()),
              "MmGetSystemRoutineAddress of KeQueryTimeIncrement, which the harness does not "
              "implement\n");
}

// An instruction the trap handler cannot carry out stops the run with its place, its bytes and
// what it is. The shipped image's entry point is overwritten, in the dying child only, with
// `add dword [rcx], 1; ret` (an access to device memory the handler does not emulate) or with
// `cli; ret` (a privileged instruction).
void RunPatchedEntry(const std::vector<uint8_t>& code, bool onDeviceMemory) {
    std::unique_ptr<sim::Fabric> fabric = sim::Fabric::FromJson(sim::DefaultFabricJson());
    harness::ShippedKernel kernel(fabric.get());
    kernel.Load(Image());
    void* view = Routine<MapIoSpaceEx>("MmMapIoSpaceEx")(kDevicePage, 4096, 0x204);
    uint8_t* driverEntry = static_cast<uint8_t*>(kernel.Image()->EntryPoint());
    const uintptr_t page = reinterpret_cast<uintptr_t>(driverEntry) & ~uintptr_t{4095};
    mprotect(reinterpret_cast<void*>(page), 8192, PROT_READ | PROT_WRITE | PROT_EXEC);
    std::memcpy(driverEntry, code.data(), code.size());
    reinterpret_cast<void(MS_ABI*)(void*)>(driverEntry)(onDeviceMemory ? view : nullptr);
}

TEST(KernelChecksDeathTest, AnInstructionItCannotEmulateStopsTheRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunPatchedEntry({0x83, 0x01, 0x01, 0xC3}, true), testing::ExitedWithCode(70),
                "corvax.sys stopped the machine: an instruction the harness cannot emulate on "
                "device memory at corvax.sys\\+0x[0-9A-F]+: 83 01 01 \\(add dword ptr "
                "\\[rcx\\], 0x01\\) \\(address 0x[0-9A-F]+\\)");
    EXPECT_EXIT(RunPatchedEntry({0xFA, 0xC3}, false), testing::ExitedWithCode(70),
                "corvax.sys stopped the machine: an instruction the harness cannot emulate at "
                "corvax.sys\\+0x[0-9A-F]+: fa \\(cli\\)");
}

}  // namespace
