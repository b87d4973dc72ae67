// corvaxctl's third way to the driver: the shipped corvax.sys itself, mapped by the harness's
// loader and run against the same simulated machine as the host build. The command line and
// the JSON are corvaxctl's own, so both builds answer a script in the same words.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "driver/control/corvax_ioctl.h"
#include "sim/pci/fabric.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/transport.h"
#include "tools/harness/pe_image.h"
#include "tools/harness/shipped_kernel.h"

#ifndef CORVAX_SHIPPED_IMAGE
#define CORVAX_SHIPPED_IMAGE ""
#endif

namespace corvaxctl {

struct Transport::Impl {
    std::unique_ptr<sim::Fabric> fabric;
    std::unique_ptr<harness::ShippedKernel> kernel;
    MachineInfo info;
    int handle = -1;
};

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw UsageError("cannot read fabric file '" + path + "'");
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        throw UsageError("cannot read fabric file '" + path + "'");
    }
    return text.str();
}

uint32_t SwitchId(sim::SwitchModel model) {
    return static_cast<uint32_t>(model) << 16 | sim::kPlxVendor;
}

// The image to run: CORVAX_SYS when set, else the one the windows build made.
std::string ImagePath() {
    const char* path = std::getenv("CORVAX_SYS");
    return path != nullptr && *path != 0 ? path : CORVAX_SHIPPED_IMAGE;
}

}  // namespace

Transport::Transport(const TransportOptions& options) : impl_(std::make_unique<Impl>()) {
    const bool builtIn = options.fabricPath.empty();
    const std::string text = builtIn ? sim::DefaultFabricJson() : ReadFile(options.fabricPath);
    const std::string where =
        builtIn ? "built-in fabric" : "fabric file '" + options.fabricPath + "'";
    try {
        impl_->fabric = sim::Fabric::FromJson(text);
    } catch (const std::exception& e) {
        std::string message = e.what();
        for (char& c : message) {
            if (c == '\n') {
                c = ' ';
            }
        }
        throw UsageError(where + ": " + message);
    }
    const nlohmann::json description = nlohmann::json::parse(text);
    impl_->info.source = builtIn ? "built-in" : options.fabricPath;
    impl_->info.name = description.value("name", impl_->info.source);
    for (unsigned i = 0; i < impl_->fabric->SwitchCount(); ++i) {
        impl_->info.switches.push_back(SwitchId(impl_->fabric->ModelOf(i)));
    }
    if (description.contains("onboard")) {
        impl_->info.onboard = static_cast<unsigned>(description["onboard"].size());
    }

    impl_->kernel = std::make_unique<harness::ShippedKernel>(impl_->fabric.get());
    try {
        const std::string image = ImagePath();
        impl_->info.loadStatus =
            static_cast<uint32_t>(impl_->kernel->Load(harness::PeImage::ReadFile(image)));
    } catch (const harness::ImageError& e) {
        throw UsageError(std::string("corvax.sys: ") + e.what());
    }
    if (!IsErrorStatus(impl_->info.loadStatus)) {
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
    return impl_->info;
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
    std::vector<std::string> lines = impl_->kernel->LogLines();
    impl_->kernel->ClearLog();
    return lines;
}

std::optional<MachineCounters> Transport::Counters() const {
    const sim::Counters c = impl_->fabric->GetCounters();
    const harness::MappingCounters m = impl_->kernel->Mappings();
    MachineCounters out;
    out.portPairs = c.portPairs;
    out.ecamAccesses = c.ecamAccesses;
    out.configReads = c.configReads;
    out.configWrites = c.configWrites;
    out.mappings = m.ioSpaceMaps;
    out.liveMappings = static_cast<uint64_t>(m.liveIoSpace + m.liveMdls + m.liveViews);
    out.strayWrites = c.strayWrites;
    return out;
}

uint32_t Transport::Simulate(const SimAction& a) {
    sim::Fabric& fabric = *impl_->fabric;
    const auto bus = static_cast<uint8_t>(a.pfa >> 8);
    const auto device = static_cast<uint8_t>((a.pfa >> 3) & 0x1F);
    const auto function = static_cast<uint8_t>(a.pfa & 7);
    const sim::DriveDescription drive = sim::DriveDescription::Make(
        static_cast<uint16_t>(a.id & 0xFFFF), static_cast<uint16_t>(a.id >> 16));
    try {
        switch (a.kind) {
            case SimAction::Kind::Pull:
                fabric.Pull(a.switchIndex, a.slot);
                return 0;
            case SimAction::Kind::Insert:
                fabric.Insert(a.switchIndex, a.slot, drive);
                return 0;
            case SimAction::Kind::Replace:
                fabric.Replace(a.switchIndex, a.slot, drive);
                return 0;
            case SimAction::Kind::Stuck:
                fabric.SetStuck(a.switchIndex, a.slot, a.on);
                return 0;
            case SimAction::Kind::Read:
                return fabric.PeekConfig(bus, device, function, a.offset);
            case SimAction::Kind::Write:
                if (!fabric.PokeConfig(bus, device, function, a.offset, a.value)) {
                    throw UsageError("no function at " + FormatPfa(a.pfa));
                }
                return 0;
            case SimAction::Kind::ReadMem:
                return fabric.PeekPhysical(a.address, 4);
            case SimAction::Kind::WriteMem:
                if (!fabric.PokePhysical(a.address, a.value)) {
                    char text[64];
                    std::snprintf(text, sizeof(text), "no device page at 0x%llX",
                                  static_cast<unsigned long long>(a.address));
                    throw UsageError(text);
                }
                return 0;
        }
    } catch (const std::logic_error& e) {
        throw UsageError(e.what());
    }
    return 0;
}

}  // namespace corvaxctl
