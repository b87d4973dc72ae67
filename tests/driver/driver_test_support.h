// Shared helpers of the driver tests: a freshly booted simulated machine with the driver loaded,
// and requests sent as user mode sends them.
#ifndef CORVAX_TESTS_DRIVER_SUPPORT_H
#define CORVAX_TESTS_DRIVER_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/control/corvax_ioctl.h"
#include "driver/topology/registry.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/pci/fabric.h"

namespace corvax_test {

struct Reply {
    KernStatus status = 0;
    uint64_t information = 0;
    std::vector<uint8_t> output;  // the caller's buffer after the call
    bool delivered = false;

    uint32_t Ulong(size_t offset) const {
        uint32_t v = 0;
        std::memcpy(&v, output.data() + offset, 4);
        return v;
    }
};

inline std::vector<uint8_t> Ulongs(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> bytes(values.size() * 4);
    size_t i = 0;
    for (uint32_t v : values) {
        std::memcpy(bytes.data() + 4 * i++, &v, 4);
    }
    return bytes;
}

// The first 256 bytes of the function at bus:0.0 as the hardware holds them.
inline std::vector<uint8_t> PeekHeader(sim::Fabric& hw, uint8_t bus) {
    std::vector<uint8_t> header(256);
    for (unsigned offset = 0; offset < 256; offset += 4) {
        const uint32_t v = hw.PeekConfig(bus, 0, 0, offset);
        std::memcpy(header.data() + offset, &v, 4);
    }
    return header;
}

// The sim kernel is one per process: every test starts from a fresh boot.
class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Kernel::Get().Reset();
        sim::Kernel::Get().AttachFabric(nullptr);
    }
    void TearDown() override {
        if (handle_ != sim::kInvalidHandle) {
            sim::Kernel::Get().Close(handle_);
        }
        sim::Kernel::Get().UnloadDriver();
        sim::Kernel::Get().AttachFabric(nullptr);
        sim::Kernel::Get().Reset();
    }

    // Attaches a fabric (kept alive by the test) before the load.
    void Attach(std::unique_ptr<sim::Fabric> fabric) {
        fabric_ = std::move(fabric);
        sim::Kernel::Get().AttachFabric(fabric_.get());
    }

    KernStatus Load() {
        const KernStatus status = sim::Kernel::Get().LoadDriver();
        if (status >= 0) {
            handle_ = sim::Kernel::Get().Open("\\\\.\\CorvaxDev");
        }
        return status;
    }

    // A machine built from `b` with the driver loaded on it, its log and write list cleared.
    void Boot(const sim::FabricBuilder& b) {
        Attach(std::make_unique<sim::Fabric>(b.Build()));
        ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
        ClearLog();
        fabric_->ClearConfigWrites();
    }
    sim::Fabric& Hw() { return *fabric_; }

    // No mapping the driver made is left behind, and it broke no rule of the kernel's.
    static void ExpectNothingMapped() {
        const sim::MappingCounters m = sim::Kernel::Get().Mappings();
        EXPECT_EQ(m.liveIoSpace, 0);
        EXPECT_EQ(m.liveMdls, 0);
        EXPECT_EQ(m.liveViews, 0);
        EXPECT_EQ(sim::Kernel::Get().GetViolations().Total(), 0u);
    }

    corvax::DeviceExtension* Extension() const {
        return static_cast<corvax::DeviceExtension*>(sim::Kernel::Get().ControlDeviceExtension());
    }

    // Sends a control request; the caller's output buffer starts filled with `fill`.
    Reply Send(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength,
               const sim::IoOptions& options = sim::IoOptions(), uint8_t fill = 0xCC) {
        Reply reply;
        reply.output.assign(outputLength, fill);
        const sim::IoResult r = sim::Kernel::Get().DeviceIoControl(
            handle_, code, input.empty() ? nullptr : input.data(),
            static_cast<uint32_t>(input.size()),
            reply.output.empty() ? nullptr : reply.output.data(), outputLength, options);
        reply.status = r.status;
        reply.information = r.information;
        reply.delivered = r.delivered;
        return reply;
    }

    // Lets the machine's time pass until every drive behind a switch whose link is up or
    // training answers and has had its quiet time, as a client waits after an enable before it
    // rescans.
    void WaitForDrives() {
        uint64_t until = fabric_->ClockUs();
        for (unsigned s = 0; s < fabric_->SwitchCount(); ++s) {
            for (unsigned i = 0; i < sim::SlotCount(fabric_->ModelOf(s)); ++i) {
                try {
                    if (const std::optional<uint64_t> at = fabric_->AnswersFrom(s, i)) {
                        until = std::max(until, *at);
                    }
                } catch (const std::out_of_range&) {
                    // no port in that slot
                }
            }
        }
        fabric_->Wait(until + sim::kConfigQuietUs - fabric_->ClockUs());
    }

    std::vector<std::string> Lines() const { return sim::Kernel::Get().LogLines(); }
    void ClearLog() { sim::Kernel::Get().ClearLog(); }

    sim::Handle handle_ = sim::kInvalidHandle;
    std::unique_ptr<sim::Fabric> fabric_;
};

}  // namespace corvax_test

#endif  // CORVAX_TESTS_DRIVER_SUPPORT_H
