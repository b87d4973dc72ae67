// corvaxctl on the simulated machine: its Windows disks are where its description says.
#include "tools/corvaxctl/system_disk.h"
#include "tools/corvaxctl/transport.h"

namespace corvaxctl {

namespace {

class DescribedSystemDisks : public SystemDiskLocator {
  public:
    explicit DescribedSystemDisks(std::optional<MachineInfo> machine)
        : machine_(std::move(machine)) {}

    std::vector<SystemDisk> Locate() override {
        if (!machine_ || !machine_->windows) {
            return {{"the Windows directory", std::nullopt,
                     "the machine's description does not say where its Windows is"}};
        }
        const DescribedWindowsDisks& w = *machine_->windows;
        std::vector<SystemDisk> disks;
        if (w.system) {
            disks.push_back({"the Windows directory", w.system, ""});
        } else {
            disks.push_back({"the Windows directory", std::nullopt,
                             "the machine's description names no disk for it"});
        }
        for (uint16_t pfa : w.pageFiles) {
            disks.push_back({"a page file", pfa, ""});
        }
        return disks;
    }

  private:
    std::optional<MachineInfo> machine_;
};

}  // namespace

std::unique_ptr<SystemDiskLocator> MakeSystemDiskLocator(const Transport* transport) {
    return std::make_unique<DescribedSystemDisks>(transport != nullptr ? transport->Machine()
                                                                       : std::nullopt);
}

}  // namespace corvaxctl
