// One simulated machine with the driver loaded, driven as a single user-mode caller would drive
// it, with every check of control_checks.h applied after the load and after each request.
#ifndef CORVAX_TESTS_FUZZ_CONTROL_MACHINE_H
#define CORVAX_TESTS_FUZZ_CONTROL_MACHINE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/fuzz/control_checks.h"

namespace hardening {

class Machine {
  public:
    // Builds the fabric and boots the simulated kernel on it; the driver is not loaded yet.
    explicit Machine(const sim::FabricDescription& description);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads the driver and opens the control device; returns the problem found, if any.
    std::string Load();
    void Unload();
    bool Loaded() const { return handle_ != sim::kInvalidHandle; }

    // Sends one request with the caller's output buffer filled with `fill`, then checks the
    // status, the output, the registry and the machine. Empty when all is well. Without a
    // loaded driver nothing is sent.
    std::string Request(uint32_t code, const uint8_t* input, uint32_t inputLength,
                        uint32_t outputLength, const sim::IoOptions& options, uint8_t fill,
                        sim::IoResult* result = nullptr);

    sim::Fabric& Fabric() { return *fabric_; }
    const WriteTargets& Targets() const { return targets_; }
    corvax::DeviceExtension* Extension() const;

  private:
    std::unique_ptr<sim::Fabric> fabric_;
    WriteTargets targets_;
    sim::Handle handle_ = sim::kInvalidHandle;
    bool afterUpdate_ = true;
    std::vector<uint8_t> before_;
    std::vector<uint8_t> after_;
    std::unique_ptr<RegistrySnapshot> snapshot_;
};

}  // namespace hardening

#endif  // CORVAX_TESTS_FUZZ_CONTROL_MACHINE_H
