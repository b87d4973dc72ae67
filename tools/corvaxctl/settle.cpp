// corvaxctl: the wait for the drives after a link cycle.
#include "tools/corvaxctl/settle.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "tools/corvaxctl/decode.h"

namespace corvaxctl {

unsigned SettleResult::Answered() const {
    return static_cast<unsigned>(
        std::count_if(slots.begin(), slots.end(), [](const SettleSlot& s) { return s.answered; }));
}

bool FunctionAnswered(const Reply& reply, uint32_t* id) {
    if (IsErrorStatus(reply.status) || reply.information < CORVAX_CONFIG_SIZE ||
        reply.output.size() < 4) {
        return false;
    }
    uint32_t value = 0;
    std::memcpy(&value, reply.output.data(), 4);
    // All-ones: nothing answers there (yet). Vendor ID 0x0001: a function still starting,
    // where the root port makes that visible (Configuration Request Retry Status); its other
    // registers are not there yet either. Zeros: the driver has no slot at that address. The
    // fill: the driver could not map the window and wrote nothing.
    if (value == 0xFFFFFFFF || (value & 0xFFFF) == 0x0001 || value == 0 || value == 0xCCCCCCCC) {
        return false;
    }
    *id = value;
    return true;
}

SettleResult Settle(Transport& transport, std::vector<SettleSlot> slots,
                    const SettleOptions& options, const ConfigReader& read,
                    const SettleProgress& progress) {
    SettleResult r;
    r.slots = std::move(slots);
    r.startUs = transport.ClockUs();
    r.firstPollUs = r.startUs + (options.trainMs + kConfigQuietMs) * 1000;
    const uint64_t deadline = std::max(r.startUs + options.settleMs * 1000, r.firstPollUs);
    const uint64_t beat = std::max<uint64_t>(options.pollMs, 1) * 1000;
    auto sleepUntil = [&](uint64_t at) {
        const uint64_t now = transport.ClockUs();
        if (now < at) {
            transport.Sleep(at - now);
        }
    };
    for (uint64_t tick = r.firstPollUs;; tick += beat) {
        sleepUntil(tick);
        for (SettleSlot& slot : r.slots) {
            if (slot.answered) {
                continue;
            }
            const Reply reply = read(slot.pfa);
            ++r.reads;
            uint32_t id = 0;
            if (!FunctionAnswered(reply, &id)) {
                continue;
            }
            // The header is copied while the drive may still be coming up: a drive that became
            // ready halfway through gives a torn header (vendor ID still 0xFF, device ID real).
            // An answer counts once a second read right after it gives the same IDs.
            const Reply again = read(slot.pfa);
            ++r.reads;
            uint32_t confirmed = 0;
            if (FunctionAnswered(again, &confirmed) && confirmed == id) {
                slot.answered = true;
                slot.id = id;
                slot.answerUs = transport.ClockUs() - r.startUs;
                slot.msixVectors = DecodeConfig(again.output).msixVectors;
            }
        }
        if (progress) {
            progress(r, transport.ClockUs());
        }
        if (r.AllAnswered() || tick + beat > deadline) {
            break;
        }
    }
    r.endUs = transport.ClockUs();
    return r;
}

std::vector<SettleSlot> SlotsHoldingDrives(const std::vector<BridgeApInfo>& bridges) {
    std::vector<SettleSlot> slots;
    for (size_t r = 0; r < bridges.size(); ++r) {
        const BridgeApInfo& b = bridges[r];
        if (!BridgeInUse(b)) {
            continue;
        }
        const unsigned count = SwitchSlotCount(b.pciID);
        for (unsigned i = 0; i < count; ++i) {
            if (b.CurrentSlot[i].fgStatus & CORVAX_SLOT_PRESENT) {
                AddSlot(slots, SlotOf(bridges, static_cast<unsigned>(r), i));
            }
        }
    }
    return slots;
}

SettleSlot SlotOf(const std::vector<BridgeApInfo>& bridges, unsigned record, unsigned slot) {
    if (record >= bridges.size() || !BridgeInUse(bridges[record])) {
        throw UsageError("no switch " + std::to_string(record) +
                         " (corvaxctl switches lists them)");
    }
    const BridgeApInfo& b = bridges[record];
    if (slot >= SwitchSlotCount(b.pciID)) {
        throw UsageError("switch " + std::to_string(record) + " (" + SwitchModelName(b.pciID) +
                         ") has no slot " + std::to_string(slot));
    }
    SettleSlot s;
    s.record = record;
    s.slot = slot;
    // The configuration read finds a slot by the address the last update recorded.
    s.pfa = static_cast<uint16_t>(b.OriginalSlot[slot].pciPFA);
    return s;
}

bool SlotOnBus(const std::vector<BridgeApInfo>& bridges, uint8_t bus, SettleSlot* slot) {
    for (size_t r = 0; r < bridges.size(); ++r) {
        const BridgeApInfo& b = bridges[r];
        if (!BridgeInUse(b)) {
            continue;
        }
        const unsigned count = SwitchSlotCount(b.pciID);
        for (unsigned i = 0; i < count; ++i) {
            const uint32_t pfa = b.OriginalSlot[i].pciPFA;
            if (pfa != 0 && ((pfa >> 8) & 0xFF) == bus) {
                *slot = SlotOf(bridges, static_cast<unsigned>(r), i);
                return true;
            }
        }
    }
    return false;
}

void AddSlot(std::vector<SettleSlot>& slots, const SettleSlot& slot) {
    for (const SettleSlot& s : slots) {
        if (s.record == slot.record && s.slot == slot.slot) {
            return;
        }
    }
    slots.push_back(slot);
}

std::vector<std::pair<unsigned, unsigned>> ParseSlotList(const std::string& text) {
    std::vector<std::pair<unsigned, unsigned>> out;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const size_t colon = item.find(':');
        std::optional<uint64_t> record, slot;
        if (colon != std::string::npos) {
            record = ParseCount(item.substr(0, colon), 2);
            slot = ParseCount(item.substr(colon + 1), 11);
        }
        if (!record || !slot) {
            throw UsageError("bad slot '" + item +
                             "' in --expect: SWITCH:SLOT,... with the switch number (0-2) and "
                             "the slot index (0-11) as `table` shows them, e.g. 0:3");
        }
        out.emplace_back(static_cast<unsigned>(*record), static_cast<unsigned>(*slot));
        if (comma == std::string::npos) {
            return out;
        }
        start = comma + 1;
    }
}

std::string SlotName(const SettleSlot& slot) {
    return std::to_string(slot.record) + ":" + std::to_string(slot.slot) + " (" +
           FormatPfa(slot.pfa) + ")";
}

}  // namespace corvaxctl
