// corvaxctl: finding, refusing and following up switches in the slots of a registered switch.
#include "tools/corvaxctl/slot_bridges.h"

#include <cstdio>

#include "tools/corvaxctl/decode.h"

namespace corvaxctl {

namespace {

constexpr size_t kHeaderType = 0x0E;
constexpr size_t kSecondaryBus = 0x19;
constexpr size_t kSubordinateBus = 0x1A;
constexpr uint8_t kBridgeHeader = 1;

std::string Bus(unsigned bus) {
    char text[8];
    std::snprintf(text, sizeof(text), "%02x", bus & 0xFF);
    return text;
}

std::string SlotText(const SlotBridge& b) {
    return "slot " + std::to_string(b.record) + ":" + std::to_string(b.slot) + " (" +
           FormatPfa(b.pfa) + ", " + IdText(b.id) + ")";
}

// The bridge answering at pfa, if one does; false for anything else or nothing.
bool ReadBridge(const ConfigReader& read, uint16_t pfa, SlotBridge* bridge) {
    const Reply reply = read(pfa);
    uint32_t id = 0;
    if (!FunctionAnswered(reply, &id) || reply.output.size() <= kSubordinateBus ||
        (reply.output[kHeaderType] & 0x7F) != kBridgeHeader) {
        return false;
    }
    bridge->pfa = pfa;
    bridge->id = id;
    bridge->secondary = reply.output[kSecondaryBus];
    bridge->subordinate = reply.output[kSubordinateBus];
    return true;
}

}  // namespace

std::vector<SlotBridge> FindSlotBridges(const std::vector<BridgeApInfo>& bridges,
                                        const ConfigReader& read) {
    std::vector<SlotBridge> found;
    for (size_t r = 0; r < bridges.size(); ++r) {
        const BridgeApInfo& b = bridges[r];
        if (!BridgeInUse(b)) {
            continue;
        }
        for (unsigned i = 0; i < SwitchSlotCount(b.pciID); ++i) {
            const SlotImage& s = b.OriginalSlot[i];
            if ((s.fgStatus & CORVAX_SLOT_PRESENT) != 0 || s.pciPFA == 0) {
                continue;
            }
            SlotBridge bridge;
            if (ReadBridge(read, static_cast<uint16_t>(s.pciPFA), &bridge)) {
                bridge.record = static_cast<unsigned>(r);
                bridge.slot = i;
                found.push_back(bridge);
            }
        }
    }
    return found;
}

std::vector<SlotBridge> GuardSlotBridges(const std::vector<BridgeApInfo>& bridges,
                                         const ConfigReader& read, bool force, std::ostream& err) {
    const std::vector<SlotBridge> found = FindSlotBridges(bridges, read);
    if (found.empty()) {
        return found;
    }
    std::string slots;
    for (const SlotBridge& b : found) {
        slots += (slots.empty() ? "" : "; ") + SlotText(b) + " holds a switch, buses " +
                 Bus(b.FirstBus()) + " to " + Bus(b.LastBus());
    }
    const std::string why =
        ": cutting a link resets the switch behind it and every drive it holds, and only the "
        "system's enumeration brings them back";
    if (!force) {
        throw UsageError(slots + why + " (--force cuts the links anyway)");
    }
    err << "corvaxctl: warning: --force: " << slots << why << "\n" << std::flush;
    return found;
}

std::vector<std::string> SlotBridgesDown(const std::vector<SlotBridge>& before,
                                         const ConfigReader& read) {
    std::vector<std::string> lines;
    for (const SlotBridge& b : before) {
        SlotBridge now;
        const std::string behind = "the drives behind it (buses " + Bus(b.secondary) + " to " +
                                   Bus(b.LastBus()) +
                                   ") stay down until the system enumerates them again";
        if (!ReadBridge(read, b.pfa, &now)) {
            lines.push_back("the switch in " + SlotText(b) +
                            " did not answer after its link came back: " + behind);
        } else if (now.secondary != b.secondary || now.subordinate != b.subordinate) {
            lines.push_back("the switch in " + SlotText(b) + " came back from the reset with bus " +
                            "numbers " + Bus(now.secondary) + " to " + Bus(now.subordinate) + ": " +
                            behind);
        }
    }
    return lines;
}

}  // namespace corvaxctl
