// corvaxctl on the host: the driver core loaded into the simulated kernel, on a simulated
// machine read from a JSON description (or the built-in one).
#include "driver/control/corvax_ioctl.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/pci/fabric.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/sim_machine.h"
#include "tools/corvaxctl/transport.h"

namespace corvaxctl {

struct Transport::Impl {
    SimMachine machine;
    sim::Handle handle = sim::kInvalidHandle;
};

Transport::Transport(const TransportOptions& options) : impl_(std::make_unique<Impl>()) {
    impl_->machine = LoadSimMachine(options.fabricPath);
    sim::Kernel& kernel = sim::Kernel::Get();
    kernel.Reset();
    kernel.AttachFabric(impl_->machine.fabric.get());
    impl_->machine.info.loadStatus = static_cast<uint32_t>(kernel.LoadDriver());
    if (!IsErrorStatus(impl_->machine.info.loadStatus)) {
        impl_->handle = kernel.Open(CORVAX_USER_PATH);
    }
}

Transport::~Transport() {
    sim::Kernel& kernel = sim::Kernel::Get();
    if (impl_->handle != sim::kInvalidHandle) {
        kernel.Close(impl_->handle);
    }
    kernel.UnloadDriver();
    kernel.AttachFabric(nullptr);
    kernel.Reset();
}

bool Transport::Simulated() {
    return true;
}

std::optional<MachineInfo> Transport::Machine() const {
    return impl_->machine.info;
}

bool Transport::Ready() const {
    return impl_->handle != sim::kInvalidHandle;
}

Reply Transport::Send(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) {
    Reply reply;
    reply.output.assign(outputLength, 0xCC);
    const sim::IoResult r = sim::Kernel::Get().DeviceIoControl(
        impl_->handle, code, input.empty() ? nullptr : input.data(),
        static_cast<uint32_t>(input.size()), reply.output.empty() ? nullptr : reply.output.data(),
        outputLength);
    reply.status = static_cast<uint32_t>(r.status);
    reply.information = r.information;
    return reply;
}

std::vector<std::string> Transport::TakeLog() {
    std::vector<std::string> prints = sim::Kernel::Get().Prints();
    sim::Kernel::Get().ClearLog();
    return prints;
}

std::optional<MachineCounters> Transport::Counters() const {
    const sim::MappingCounters m = sim::Kernel::Get().Mappings();
    return CountersOf(*impl_->machine.fabric, m.ioSpaceMaps,
                      m.liveIoSpace + m.liveMdls + m.liveViews);
}

uint64_t Transport::ClockUs() const {
    return impl_->machine.fabric->ClockUs();
}

void Transport::Sleep(uint64_t us) {
    impl_->machine.fabric->Wait(us);
}

uint32_t Transport::Simulate(const SimAction& action) {
    return SimulateOn(*impl_->machine.fabric, action);
}

}  // namespace corvaxctl
