// corvaxctl's third way to the driver: the shipped corvax.sys itself, mapped by the harness's
// loader and run against the same simulated machine as the host build. The command line and
// the JSON are corvaxctl's own, so both builds answer a script in the same words.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "driver/control/corvax_ioctl.h"
#include "sim/pci/fabric.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/sim_machine.h"
#include "tools/corvaxctl/transport.h"
#include "tools/harness/pe_image.h"
#include "tools/harness/shipped_kernel.h"

#ifndef CORVAX_SHIPPED_IMAGE
#define CORVAX_SHIPPED_IMAGE ""
#endif

namespace corvaxctl {

struct Transport::Impl {
    SimMachine machine;
    std::unique_ptr<harness::ShippedKernel> kernel;
    int handle = -1;
};

namespace {

// The image to run: CORVAX_SYS when set, else the one the windows build made.
std::string ImagePath() {
    const char* path = std::getenv("CORVAX_SYS");
    return path != nullptr && *path != 0 ? path : CORVAX_SHIPPED_IMAGE;
}

}  // namespace

Transport::Transport(const TransportOptions& options) : impl_(std::make_unique<Impl>()) {
    impl_->machine = LoadSimMachine(options.fabricPath);
    impl_->kernel = std::make_unique<harness::ShippedKernel>(impl_->machine.fabric.get());
    try {
        const std::string image = ImagePath();
        impl_->machine.info.loadStatus =
            static_cast<uint32_t>(impl_->kernel->Load(harness::PeImage::ReadFile(image)));
    } catch (const harness::ImageError& e) {
        throw UsageError(std::string("corvax.sys: ") + e.what());
    }
    if (!IsErrorStatus(impl_->machine.info.loadStatus)) {
        impl_->handle = impl_->kernel->Open(CORVAX_USER_PATH);
    }
}

Transport::~Transport() {
    if (impl_->handle != -1) {
        impl_->kernel->Close(impl_->handle);
    }
    impl_->kernel->Unload();
    const std::vector<std::string> violations = impl_->kernel->Violations();
    if (!violations.empty()) {
        // What would have been a bug check or a leak on Windows fails the run.
        std::cout.flush();
        for (const std::string& v : violations) {
            std::cerr << "corvaxctl-shipped: kernel rule broken: " << v << "\n";
        }
        std::cerr.flush();
        std::_Exit(4);
    }
}

bool Transport::Simulated() {
    return true;
}

std::optional<MachineInfo> Transport::Machine() const {
    return impl_->machine.info;
}

bool Transport::Ready() const {
    return impl_->handle != -1;
}

Reply Transport::Send(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) {
    Reply reply;
    reply.output.assign(outputLength, 0xCC);
    const harness::IoResult r = impl_->kernel->DeviceIoControl(
        impl_->handle, code, input.empty() ? nullptr : input.data(),
        static_cast<uint32_t>(input.size()), reply.output.empty() ? nullptr : reply.output.data(),
        outputLength);
    reply.status = static_cast<uint32_t>(r.status);
    reply.information = r.information;
    return reply;
}

std::vector<std::string> Transport::TakeLog() {
    std::vector<std::string> prints = impl_->kernel->Prints();
    impl_->kernel->ClearLog();
    return prints;
}

std::optional<MachineCounters> Transport::Counters() const {
    const harness::MappingCounters m = impl_->kernel->Mappings();
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
