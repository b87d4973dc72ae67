// A machine for the hardening runs: boot, load, send, check.
#include "tests/fuzz/control_machine.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "driver/control/corvax_ioctl.h"

namespace hardening {

Machine::Machine(const sim::FabricDescription& description)
    : fabric_(std::make_unique<sim::Fabric>(description, sim::Fabric::Validated{})),
      snapshot_(std::make_unique<RegistrySnapshot>()) {
    // One caller, one thread: the fabric and the kernel can skip their locks.
    fabric_->SetSingleThreaded(true);
    sim::Kernel::Get().Reset();
    sim::Kernel::Get().SetSingleThreaded(true);
    sim::Kernel::Get().AttachFabric(fabric_.get());
    targets_ = TargetsOf(*fabric_);
}

Machine::~Machine() {
    Unload();
    sim::Kernel::Get().AttachFabric(nullptr);
    sim::Kernel::Get().Reset();
}

corvax::DeviceExtension* Machine::Extension() const {
    return static_cast<corvax::DeviceExtension*>(sim::Kernel::Get().ControlDeviceExtension());
}

std::string Machine::Load() {
    const KernStatus status = sim::Kernel::Get().LoadDriver();
    sim::Kernel::Get().ClearLog();
    if (status != KERN_STATUS_SUCCESS) {
        return "the driver did not load: status " + std::to_string(status);
    }
    handle_ = sim::Kernel::Get().Open("\\\\.\\CorvaxDev");
    if (handle_ == sim::kInvalidHandle) {
        return "the control device does not open";
    }
    afterUpdate_ = true;
    loadWrites_ = fabric_->ConfigWrites();
    std::string problem = CheckRegistry(*Extension(), true);
    if (problem.empty()) {
        problem = CheckMachine(*fabric_, targets_);
    }
    return problem.empty() ? problem : "after the load: " + problem;
}

namespace {

void Replay(sim::Fabric& fabric, const std::vector<sim::ConfigWrite>& writes) {
    const uint64_t window = fabric.EcamWindow();
    for (const sim::ConfigWrite& w : writes) {
        if (w.path == sim::ConfigPath::Ports) {
            fabric.WritePort(sim::kConfigAddressPort,
                             0x80000000u | (static_cast<uint32_t>(w.pfa) << 8) | w.offset);
            fabric.WritePort(sim::kConfigDataPort, w.value);
        } else {
            fabric.WritePhysical(window + (static_cast<uint64_t>(w.pfa) << 12) + w.offset, w.size,
                                 w.value);
        }
    }
    fabric.ClearConfigWrites();
    fabric.ResetCounters();
}

// Every function the driver can reach on this machine, for comparing two fabrics.
std::vector<uint16_t> KnownFunctions(const sim::FabricDescription& d) {
    std::vector<uint16_t> pfas = {0};
    for (const auto& sw : d.switches) {
        pfas.push_back(sim::Pfa(sw.bus, 0, 0));
        const auto& map = sim::LinkMap(sw.model);
        for (const auto& port : sw.ports) {
            pfas.push_back(sim::Pfa(sw.internalBus, map[port.index], 0));
            pfas.push_back(sim::Pfa(port.bus, 0, 0));
        }
    }
    for (const auto& ob : d.onboard) {
        pfas.push_back(sim::Pfa(ob.bus, 0, 0));
    }
    for (const auto& fn : d.functions) {
        pfas.push_back(fn.pfa);
    }
    return pfas;
}

}  // namespace

std::string Machine::Capture(const sim::FabricDescription& description, LoadImage* image) {
    const corvax::DeviceExtension* e = Extension();
    image->extension.assign(reinterpret_cast<const uint8_t*>(e),
                            reinterpret_cast<const uint8_t*>(e) + sizeof(*e));
    image->base = reinterpret_cast<const uint8_t*>(e);
    image->writes = loadWrites_;
    image->targets = TargetsOf(*fabric_);
    sim::Fabric replayed(description);
    Replay(replayed, image->writes);
    for (uint16_t pfa : KnownFunctions(description)) {
        for (unsigned offset = 0; offset < 0x100; offset += 4) {
            const uint32_t want = fabric_->PeekConfig(pfa >> 8, (pfa >> 3) & 0x1F, pfa & 7, offset);
            const uint32_t got = replayed.PeekConfig(pfa >> 8, (pfa >> 3) & 0x1F, pfa & 7, offset);
            if (want != got) {
                return "replaying the load's writes gives 0x" + std::to_string(got) + " at PFA " +
                       std::to_string(pfa) + " offset " + std::to_string(offset) +
                       ", the load left " + std::to_string(want);
            }
        }
    }
    image->valid = true;
    return std::string();
}

void Machine::Restore(const sim::FabricDescription& description, const LoadImage& image) {
    auto fresh = std::make_unique<sim::Fabric>(description, sim::Fabric::Validated{});
    fresh->SetSingleThreaded(true);
    Replay(*fresh, image.writes);
    sim::Kernel::Get().AttachFabric(fresh.get());
    fabric_ = std::move(fresh);
    // The targets follow from the description alone; an input usually restores the image the
    // one before it restored.
    if (targetsFrom_ != &image) {
        targets_ = image.targets;
        targetsFrom_ = &image;
    }

    // The registry's only pointers lead into the extension itself: move them along with it.
    corvax::DeviceExtension* e = Extension();
    KernDevice* device = e->DeviceObject;
    std::memcpy(e, image.extension.data(), sizeof(*e));
    e->DeviceObject = device;
    const uint8_t* oldBase = image.base;
    uint8_t* newBase = reinterpret_cast<uint8_t*>(e);
    auto move = [&](uint8_t*& p) {
        if (p != nullptr) {
            p = newBase + (p - oldBase);
        }
    };
    for (corvax::PlxBridge& bridge : e->Bridge) {
        for (corvax::DriveSlot* slots : {bridge.OriginalSlot, bridge.CurrentSlot}) {
            for (uint32_t i = 0; i < corvax::kSlotsPerBridge; ++i) {
                move(slots[i].ConfigTable);
                move(slots[i].MsiTable);
            }
        }
    }
    for (int step = 0; step < 3; ++step) {
        sim::Kernel::Get().FailMapping(static_cast<sim::MapStep>(step), 0);
    }
    sim::Kernel::Get().ClearLog();
    afterUpdate_ = true;
}

void Machine::WaitForDrives() {
    uint64_t until = fabric_->ClockUs();
    for (unsigned sw = 0; sw < fabric_->SwitchCount(); ++sw) {
        for (unsigned slot = 0; slot < sim::SlotCount(fabric_->ModelOf(sw)); ++slot) {
            try {
                if (const std::optional<uint64_t> at = fabric_->AnswersFrom(sw, slot)) {
                    until = std::max(until, *at);
                }
            } catch (const std::out_of_range&) {
                // no port in that slot
            }
        }
    }
    fabric_->Wait(until + sim::kConfigQuietUs - fabric_->ClockUs());
}

void Machine::Unload() {
    if (handle_ != sim::kInvalidHandle) {
        sim::Kernel::Get().Close(handle_);
        handle_ = sim::kInvalidHandle;
    }
    sim::Kernel::Get().UnloadDriver();
    sim::Kernel::Get().ClearLog();
}

std::string Machine::Request(uint32_t code, const uint8_t* input, uint32_t inputLength,
                             uint32_t outputLength, const sim::IoOptions& options, uint8_t fill,
                             sim::IoResult* result) {
    if (handle_ == sim::kInvalidHandle) {
        return std::string();
    }
    const corvax::DeviceExtension& e = *Extension();
    TakeSnapshot(e, snapshot_.get());
    before_.assign(outputLength, fill);
    after_.assign(outputLength, fill);
    const sim::IoResult r = sim::Kernel::Get().DeviceIoControl(
        handle_, code, inputLength != 0 ? input : nullptr, inputLength,
        outputLength != 0 ? after_.data() : nullptr, outputLength, options);
    if (result != nullptr) {
        *result = r;
    }
    sim::Kernel::Get().ClearLog();

    std::string problem = CheckStatus(code, inputLength, outputLength, options, r);
    if (problem.empty()) {
        const SentRequest sent = {code,    input,          inputLength,   outputLength,
                                  options, before_.data(), after_.data(), snapshot_->deviceIdList};
        problem = CheckOutput(e, sent, r);
    }
    if (problem.empty()) {
        problem = CheckRegistryChange(code, *snapshot_, e);
    }
    if (code == CORVAX_UPDATE || code == PLX_UPDATE) {
        afterUpdate_ = true;
    } else if (code == CORVAX_RESCAN || code == PLX_RESCAN || code == CORVAX_RESCAN_RESTORE ||
               code == PLX_RESCAN_RESTORE) {
        afterUpdate_ = false;
    }
    if (problem.empty()) {
        problem = CheckRegistry(e, afterUpdate_);
    }
    if (problem.empty()) {
        problem = CheckMachine(*fabric_, targets_);
    }
    return problem;
}

}  // namespace hardening
