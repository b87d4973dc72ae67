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

// The state a clean load leaves behind on one example machine: the registry and the
// configuration writes the load made. A machine can be put back into that state on a fresh
// fabric far faster than a load takes (the load reads every drive's header byte by byte).
struct LoadImage {
    bool valid = false;
    std::vector<uint8_t> extension;
    const uint8_t* base = nullptr;  // where the extension lived when it was taken
    std::vector<sim::ConfigWrite> writes;
    WriteTargets targets;
};

class Machine {
  public:
    // Builds the fabric and boots the simulated kernel on it; the driver is not loaded yet.
    // The description is one of Examples(), which passed validation when its file was read.
    explicit Machine(const sim::FabricDescription& description);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads the driver and opens the control device; returns the problem found, if any.
    std::string Load();
    void Unload();

    // After a clean Load: the image of it. Checks first that replaying it on a fresh fabric
    // gives the same configuration registers as the load did.
    std::string Capture(const sim::FabricDescription& description, LoadImage* image);
    // Puts the loaded driver and a fresh fabric back into the state of the image: the
    // registry as the load left it, the load's writes replayed, no fault armed.
    void Restore(const sim::FabricDescription& description, const LoadImage& image);
    bool Loaded() const { return handle_ != sim::kInvalidHandle; }

    // Sends one request with the caller's output buffer filled with `fill`, then checks the
    // status, the output, the registry and the machine. Empty when all is well. Without a
    // loaded driver nothing is sent.
    std::string Request(uint32_t code, const uint8_t* input, uint32_t inputLength,
                        uint32_t outputLength, const sim::IoOptions& options, uint8_t fill,
                        sim::IoResult* result = nullptr);

    // Lets the machine's time pass until every drive behind a switch whose link is up or
    // training answers and has had its quiet time, as a client waits after an enable.
    void WaitForDrives();

    sim::Fabric& Fabric() { return *fabric_; }
    const WriteTargets& Targets() const { return targets_; }
    corvax::DeviceExtension* Extension() const;

  private:
    std::unique_ptr<sim::Fabric> fabric_;
    WriteTargets targets_;
    const LoadImage* targetsFrom_ = nullptr;  // the image targets_ was copied from, if any
    sim::Handle handle_ = sim::kInvalidHandle;
    bool afterUpdate_ = true;
    std::vector<sim::ConfigWrite> loadWrites_;
    std::vector<uint8_t> before_;
    std::vector<uint8_t> after_;
    std::unique_ptr<RegistrySnapshot> snapshot_;
};

}  // namespace hardening

#endif  // CORVAX_TESTS_FUZZ_CONTROL_MACHINE_H
