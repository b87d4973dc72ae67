// Test-only: corvax-wine-test-fabric.dll, the simulated machine of the Wine test build of the
// driver, loaded into winedevice.exe with corvax-wine-test.sys. Never shipped.
#include "sim/wine_test/wine_test_fabric.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/pci/description.h"
#include "sim/pci/fabric.h"

namespace {

constexpr int32_t kStatusObjectNameNotFound = static_cast<int32_t>(0xC0000034);
constexpr int32_t kStatusInvalidParameter = static_cast<int32_t>(0xC000000D);
constexpr uint64_t kPage = 0x1000;

struct Mapping {
    uint64_t physical;   // of the first byte the caller asked for
    uint64_t size;       // bytes asked for
    uintptr_t reserved;  // start of the reserved pages
};

struct Machine {
    std::unique_ptr<sim::Fabric> fabric;
    std::string name;
    LARGE_INTEGER frequency{};
    LARGE_INTEGER start{};
    // Live mappings by the address handed out.
    std::map<uintptr_t, Mapping> mappings;
    uint64_t faults = 0;
};

std::mutex g_mutex;
std::unique_ptr<Machine> g_machine;

// One line to the debugger, as a Windows program writes one: Wine shows it on its debugstr
// channel, beside the driver's own lines. (A service has no standard error of its own there.)
void Say(const char* format, ...) {
    char text[512] = "corvax-wine-test: ";
    const size_t prefix = std::strlen(text);
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text + prefix, sizeof(text) - prefix, format, args);
    va_end(args);
    OutputDebugStringA(text);
}

// Something the driver must never do happened: named to the debugger, and counted so that the
// stop line shows it.
void Fault(Machine* m, const char* what, uint64_t value) {
    if (m != nullptr) {
        ++m->faults;
    }
    Say("fault: %s (0x%llX)", what, static_cast<unsigned long long>(value));
}

// The machine's time follows the process's: the client's waits and Wine's own are real ones,
// and links train and drives start in them as on a real machine. Accesses still cost their own
// time on top, so the clock never runs behind.
void CatchUp(Machine& m) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const auto ticks = static_cast<uint64_t>(now.QuadPart - m.start.QuadPart);
    const auto perSecond = static_cast<uint64_t>(m.frequency.QuadPart);
    const uint64_t us = ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
    const uint64_t clock = m.fabric->ClockUs();
    if (us > clock) {
        m.fabric->Wait(us - clock);
    }
}

// The physical address of [address, address + size) when a live mapping holds all of it.
std::optional<uint64_t> PhysicalOf(Machine& m, uintptr_t address, uint32_t size) {
    auto it = m.mappings.upper_bound(address);
    if (it == m.mappings.begin()) {
        return std::nullopt;
    }
    --it;
    const uintptr_t offset = address - it->first;
    if (offset >= it->second.size || it->second.size - offset < size) {
        return std::nullopt;
    }
    return it->second.physical + offset;
}

std::string Narrow(const uint16_t* text, uint32_t length) {
    std::wstring wide(reinterpret_cast<const wchar_t*>(text), length);
    const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                            nullptr, nullptr);
    }
    return out;
}

}  // namespace

extern "C" {

int32_t WineTestFabricStart(const uint16_t* descriptionPath, uint32_t length) {
    std::lock_guard<std::mutex> hold(g_mutex);
    const std::string path = Narrow(descriptionPath, length);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Say("cannot read the machine description %s", path.c_str());
        return kStatusObjectNameNotFound;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t slash = path.find_last_of("\\/");
    try {
        auto m = std::make_unique<Machine>();
        const sim::FabricDescription description =
            sim::ParseFabricJson(text, slash == std::string::npos ? "" : path.substr(0, slash));
        m->fabric = std::make_unique<sim::Fabric>(description);
        m->name = nlohmann::json::parse(text).value("name", path);
        QueryPerformanceFrequency(&m->frequency);
        QueryPerformanceCounter(&m->start);
        g_machine = std::move(m);
    } catch (const std::exception& e) {
        Say("the machine description %s: %s", path.c_str(), e.what());
        return kStatusInvalidParameter;
    }
    Say("machine \"%s\" from %s", g_machine->name.c_str(), path.c_str());
    return 0;
}

void WineTestFabricStop(void) {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (!g_machine) {
        return;
    }
    Machine& m = *g_machine;
    const sim::Counters c = m.fabric->GetCounters();
    Say("machine \"%s\" stopped: %zu mappings live, %llu faults, %llu stray writes, %llu RAM "
        "mappings asked",
        m.name.c_str(), m.mappings.size(), static_cast<unsigned long long>(m.faults),
        static_cast<unsigned long long>(c.strayWrites),
        static_cast<unsigned long long>(c.ramMappings));
    for (const auto& live : m.mappings) {
        VirtualFree(reinterpret_cast<void*>(live.second.reserved), 0, MEM_RELEASE);
    }
    g_machine.reset();
}

uint32_t WineTestFabricReadPort(uint16_t port) {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (!g_machine) {
        Fault(nullptr, "a port read with no machine", port);
        return 0xFFFFFFFF;
    }
    CatchUp(*g_machine);
    return g_machine->fabric->ReadPort(port);
}

void WineTestFabricWritePort(uint16_t port, uint32_t value) {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (!g_machine) {
        Fault(nullptr, "a port write with no machine", port);
        return;
    }
    CatchUp(*g_machine);
    g_machine->fabric->WritePort(port, value);
}

void* WineTestFabricMapIoSpace(uint64_t physicalAddress, uint64_t size) {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (!g_machine || size == 0) {
        Fault(g_machine.get(), "a mapping with no machine or no size", physicalAddress);
        return nullptr;
    }
    Machine& m = *g_machine;
    // As the kernel of the harness does: RAM is counted and refused.
    if (m.fabric->RefuseRamMapping(physicalAddress, size)) {
        return nullptr;
    }
    const uint64_t offset = physicalAddress % kPage;
    const uint64_t span = (offset + size + kPage - 1) / kPage * kPage;
    void* reserved = VirtualAlloc(nullptr, span, MEM_RESERVE, PAGE_NOACCESS);
    if (reserved == nullptr) {
        Fault(&m, "no addresses left to map", physicalAddress);
        return nullptr;
    }
    const uintptr_t address = reinterpret_cast<uintptr_t>(reserved) + offset;
    m.mappings[address] = Mapping{physicalAddress, size, reinterpret_cast<uintptr_t>(reserved)};
    return reinterpret_cast<void*>(address);
}

void WineTestFabricUnmapIoSpace(void* address, uint64_t size) {
    std::lock_guard<std::mutex> hold(g_mutex);
    Machine* m = g_machine.get();
    const auto it = m ? m->mappings.find(reinterpret_cast<uintptr_t>(address))
                      : std::map<uintptr_t, Mapping>::iterator();
    if (m == nullptr || it == m->mappings.end()) {
        Fault(m, "an unmapping of no live mapping", reinterpret_cast<uintptr_t>(address));
        return;
    }
    if (it->second.size != size) {
        Fault(m, "an unmapping of another size than mapped", size);
    }
    VirtualFree(reinterpret_cast<void*>(it->second.reserved), 0, MEM_RELEASE);
    m->mappings.erase(it);
}

uint32_t WineTestFabricReadRegister(const volatile void* address, uint32_t size) {
    std::lock_guard<std::mutex> hold(g_mutex);
    const auto at = reinterpret_cast<uintptr_t>(address);
    const std::optional<uint64_t> physical =
        g_machine ? PhysicalOf(*g_machine, at, size) : std::nullopt;
    if (!physical) {
        Fault(g_machine.get(), "a register read through no live mapping", at);
        return 0xFFFFFFFF;
    }
    CatchUp(*g_machine);
    return g_machine->fabric->ReadPhysical(*physical, size);
}

void WineTestFabricWriteRegister(volatile void* address, uint32_t size, uint32_t value) {
    std::lock_guard<std::mutex> hold(g_mutex);
    const auto at = reinterpret_cast<uintptr_t>(address);
    const std::optional<uint64_t> physical =
        g_machine ? PhysicalOf(*g_machine, at, size) : std::nullopt;
    if (!physical) {
        Fault(g_machine.get(), "a register write through no live mapping", at);
        return;
    }
    CatchUp(*g_machine);
    g_machine->fabric->WritePhysical(*physical, size, value);
}

uint32_t WineTestFabricRam(uint64_t* bases, uint64_t* lengths, uint32_t capacity) {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (!g_machine) {
        return 0;
    }
    const std::vector<sim::RamRange>& ram = g_machine->fabric->Ram();
    for (uint32_t i = 0; i < ram.size() && i < capacity; ++i) {
        bases[i] = ram[i].base;
        lengths[i] = ram[i].size;
    }
    return static_cast<uint32_t>(ram.size());
}

}  // extern "C"
