// corvaxctl: the verdict on one slot after one link cycle. Every reason comes from registers the
// client read through the driver, as it can on Windows too: the drive's own header
// (CORVAX_READ_CONFIG, after the restore and a last rescan) against the same header before the
// first cycle, and the switch's Max_Payload_Size from its record (PLX_QUERY_PCI). Nothing the
// simulated machine knows of itself enters here.
#ifndef CORVAXCTL_VERDICT_H
#define CORVAXCTL_VERDICT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/pci_header.h"

namespace corvaxctl {

// A drive as its header showed it.
struct DriveState {
    uint32_t id = 0;  // device << 16 | vendor
    uint64_t bar0 = 0;
    bool memoryDecoding = false;  // Command register bit 1
    std::optional<PciExpress> express;
};
// What a header read says; none when nothing answered (all-ones), the driver read nothing
// (zeros) or the reply is short.
std::optional<DriveState> StateOf(const Bytes& header);

// What one slot is held to in every cycle.
struct SlotExpectation {
    uint32_t id = 0;  // the drive that should answer
    // Whose it is, for the reason when another answers: the driver's record of the slot (its
    // last update) or the events of the cycle.
    bool idFromEvents = false;
    std::optional<DriveState> before;  // its header before the first cycle; none: not read
    unsigned switchPayload = 0;        // the switch's Max_Payload_Size in bytes
};

// What one cycle brought back in one slot.
struct SlotReturn {
    bool answered = false;
    uint64_t answerUs = 0;  // from the end of the enable
    uint64_t waitedUs = 0;  // how long the wait allowed
    // The enable gave up (STATUS_FAIL_CHECK: a port's Link Disable did not read back clear in
    // six passes), as the driver answered it on any machine.
    bool enableGaveUp = false;
    std::optional<DriveState> after;  // its header after the restore and the rescan
};

struct Verdict {
    bool passed = true;
    std::vector<std::string> reasons;  // one per rule broken, in the order checked
};

// The rules, in order: it answered; its header reads; the same drive (or the replacement
// expected); back with its memory address and decoding it; its link as fast and as wide as
// before the first cycle; its Max_Payload_Size the smaller of the switch's and what it
// supports; no error bit in Device Status.
Verdict Judge(const SlotExpectation& expected, const SlotReturn& got);

}  // namespace corvaxctl

#endif  // CORVAXCTL_VERDICT_H
