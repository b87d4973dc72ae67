// A machine for the hardening runs: boot, load, send, check.
#include "tests/fuzz/control_machine.h"

#include <cstring>

#include "driver/control/corvax_ioctl.h"

namespace hardening {

Machine::Machine(const sim::FabricDescription& description)
    : fabric_(std::make_unique<sim::Fabric>(description)),
      snapshot_(std::make_unique<RegistrySnapshot>()) {
    sim::Kernel::Get().Reset();
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
    std::string problem = CheckRegistry(*Extension(), true);
    if (problem.empty()) {
        problem = CheckMachine(*fabric_, targets_);
    }
    return problem.empty() ? problem : "after the load: " + problem;
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
