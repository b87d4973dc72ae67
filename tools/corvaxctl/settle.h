// corvaxctl: waiting for the drives after their links come back. The driver reports a link
// released as soon as Link Disable reads back clear; the link then trains, and the drive
// behind it may take up to a second before it answers configuration requests. A rescan sent
// before that finds every slot silent and restores nothing, so the cycle waits here, asking
// each slot with a request that changes nothing until its drive answers.
#ifndef CORVAXCTL_SETTLE_H
#define CORVAXCTL_SETTLE_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/control/corvax_ioctl.h"
#include "tools/corvaxctl/transport.h"

namespace corvaxctl {

// After a link trains, software must leave the device below it this long before it sends it a
// configuration request; an early one can stall the processor while the root port retries it.
constexpr uint64_t kConfigQuietMs = 100;

struct SettleOptions {
    uint64_t settleMs = 2000;  // the longest wait: training and the second a device may take
    uint64_t trainMs = 100;    // the training time assumed; the client cannot see a link train
    uint64_t pollMs = 10;
};

// One slot the wait is for.
struct SettleSlot {
    unsigned record = 0;  // the switch number: the driver's record (0-2), as `switches` shows it
    unsigned slot = 0;    // slot index
    uint16_t pfa = 0;     // where the last update recorded the slot's drive
    bool answered = false;
    uint64_t answerUs = 0;  // from the start of the wait to the end of the read that answered
    uint32_t id = 0;        // device << 16 | vendor of what answered
    // The size of the MSI-X table of what answered, as its header gives it; none without one.
    std::optional<unsigned> msixVectors;
};

struct SettleResult {
    std::vector<SettleSlot> slots;
    uint64_t startUs = 0;      // on the transport's clock
    uint64_t firstPollUs = 0;  // the first moment a read is allowed
    uint64_t endUs = 0;
    unsigned reads = 0;  // configuration reads sent
    unsigned Answered() const;
    bool AllAnswered() const { return Answered() == slots.size(); }
};

// Sends one configuration read of a recorded address (CORVAX_READ_CONFIG); the caller decides
// how, so that its log and counters see it.
using ConfigReader = std::function<Reply(uint16_t pfa)>;
// Called after each round of reads.
using SettleProgress = std::function<void(const SettleResult& sofar, uint64_t nowUs)>;

// Whether a configuration read's reply shows a function answering; its IDs in *id.
bool FunctionAnswered(const Reply& reply, uint32_t* id);

// Waits until every slot's drive answers, or until the settle time has passed. The first read
// comes once the assumed training time and the quiet time after it have passed (never sooner,
// even when settleMs is shorter), then every pollMs on a fixed beat; a slot that answered is
// not read again. Without slots it still waits for the first allowed read, so that whatever
// comes next finds every link that trained in time past its quiet time.
SettleResult Settle(Transport& transport, std::vector<SettleSlot> slots,
                    const SettleOptions& options, const ConfigReader& read,
                    const SettleProgress& progress = nullptr);

// The slots of the driver's records (PLX_QUERY_PCI) where it last saw a drive.
std::vector<SettleSlot> SlotsHoldingDrives(const std::vector<BridgeApInfo>& bridges);
// A slot by switch number and slot index; UsageError when there is no such switch or the
// switch has no such slot.
SettleSlot SlotOf(const std::vector<BridgeApInfo>& bridges, unsigned record, unsigned slot);
// The slot behind which the last update recorded a drive on that bus; false when none.
bool SlotOnBus(const std::vector<BridgeApInfo>& bridges, uint8_t bus, SettleSlot* slot);
// Adds a slot unless the list has it already.
void AddSlot(std::vector<SettleSlot>& slots, const SettleSlot& slot);
// "0:1,0:3": switch number and slot index pairs; UsageError for anything else.
std::vector<std::pair<unsigned, unsigned>> ParseSlotList(const std::string& text);
// "0:3 (08:00.0)".
std::string SlotName(const SettleSlot& slot);

}  // namespace corvaxctl

#endif  // CORVAXCTL_SETTLE_H
