// corvaxctl's simulated machine: description, hardware actions and counters.
#include "tools/corvaxctl/sim_machine.h"

#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "tools/corvaxctl/command_line.h"
#include "tools/corvaxctl/decode.h"

namespace corvaxctl {

namespace {

uint32_t SwitchId(sim::SwitchModel model) {
    return static_cast<uint32_t>(model) << 16 | sim::kPlxVendor;
}

// A port image captured with its slot powered off or its link disabled (a port with nothing
// plugged in, as lspci saw it) keeps the drive described behind it off the bus: the machine
// loads, the driver finds no drive there, and nothing else would say why.
std::vector<std::string> DescriptionWarnings(const sim::FabricDescription& d) {
    std::vector<std::string> warnings;
    for (size_t s = 0; s < d.switches.size(); ++s) {
        std::vector<std::string> off, disabled;
        std::string images;
        uint16_t slotControl = 0;
        for (const sim::PortDescription& port : d.switches[s].ports) {
            if (!port.drive) {
                continue;
            }
            // Slot Control as the port starts: the description's, else the image's, else on.
            const std::vector<uint8_t>* image = port.image ? &port.image->bytes : nullptr;
            const uint16_t control = port.slotControl.value_or(
                image ? static_cast<uint16_t>((*image)[0x80] | (*image)[0x81] << 8) : 0x01C0);
            // Power is cut only where a power controller is (Slot Capabilities bit 1).
            const bool controller = !image || ((*image)[0x7C] & 0x02) != 0;
            if (controller && (control & 0x0400)) {
                off.push_back(std::to_string(port.index));
                slotControl = control;
                if (image && images.find(port.image->file) == std::string::npos) {
                    images += (images.empty() ? "" : ", ") + port.image->file;
                }
            }
            if (image && image->size() > 0x78 && ((*image)[0x78] & 0x10)) {
                disabled.push_back(std::to_string(port.index));
            }
        }
        auto list = [](const std::vector<std::string>& ports) {
            std::string text;
            for (const std::string& p : ports) {
                text += (text.empty() ? "" : ", ") + p;
            }
            return text;
        };
        const std::string where = "switches[" + std::to_string(s) + "]";
        if (!off.empty()) {
            char value[16];
            std::snprintf(value, sizeof(value), "0x%04x", slotControl);
            warnings.push_back(where + ": slot power is off in the Slot Control (" + value +
                               (images.empty() ? "" : ", as in " + images) + ") of port" +
                               (off.size() > 1 ? "s " : " ") + list(off) +
                               ", so the drives described behind them are off the bus and no "
                               "scan finds them; \"slot_control\": \"0x01c0\" on a port powers "
                               "its slot");
        }
        if (!disabled.empty()) {
            warnings.push_back(where +
                               ": Link Disable is set in the Link Control of the image of "
                               "port" +
                               (disabled.size() > 1 ? "s " : " ") + list(disabled) +
                               ", so the drives described behind them stay off the bus until "
                               "an enable");
        }
    }
    return warnings;
}

}  // namespace

SimMachine LoadSimMachine(const std::string& fabricPath) {
    const bool builtIn = fabricPath.empty();
    const std::string text =
        builtIn ? sim::DefaultFabricJson() : ReadNamedFile(fabricPath, "fabric file");
    const std::string where = builtIn ? "built-in fabric" : "fabric file '" + fabricPath + "'";
    SimMachine machine;
    sim::FabricDescription parsed;
    try {
        // Images in the description are named relative to its folder.
        const size_t slash = fabricPath.find_last_of('/');
        parsed = sim::ParseFabricJson(
            text, slash == std::string::npos ? std::string() : fabricPath.substr(0, slash));
        machine.fabric = std::make_unique<sim::Fabric>(parsed, sim::Fabric::Validated{});
    } catch (const std::exception& e) {
        // FabricError names the key; a JSON syntax error says where it is.
        std::string message = e.what();
        for (char& c : message) {
            if (c == '\n') {
                c = ' ';
            }
        }
        throw UsageError(where + ": " + message);
    }
    const nlohmann::json description = nlohmann::json::parse(text);
    machine.info.source = builtIn ? "built-in" : fabricPath;
    machine.info.name = description.value("name", machine.info.source);
    for (unsigned i = 0; i < machine.fabric->SwitchCount(); ++i) {
        machine.info.switches.push_back(SwitchId(machine.fabric->ModelOf(i)));
        machine.info.upstream.push_back(machine.fabric->UpstreamPfa(i));
    }
    if (description.contains("onboard")) {
        machine.info.onboard = static_cast<unsigned>(description["onboard"].size());
    }
    machine.info.warnings = DescriptionWarnings(parsed);
    if (parsed.windows) {
        machine.info.windows =
            DescribedWindowsDisks{parsed.windows->system, parsed.windows->pageFiles};
    }
    return machine;
}

uint32_t SimulateOn(sim::Fabric& fabric, const SimAction& a) {
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
            case SimAction::Kind::Downtrain:
                fabric.Downtrain(
                    a.switchIndex, a.slot,
                    a.speed == 0 ? std::nullopt
                                 : std::optional<sim::LinkLimit>(sim::LinkLimit{a.speed, a.width}));
                return 0;
            case SimAction::Kind::Errors:
                fabric.ErrorsOnLinkUp(a.switchIndex, a.slot, static_cast<uint16_t>(a.value));
                return 0;
            case SimAction::Kind::Holds:
                return fabric.DrivePresent(a.switchIndex, a.slot) ? 1 : 0;
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
            case SimAction::Kind::Wait:
                fabric.Wait(a.ms * 1000);
                return 0;
            case SimAction::Kind::Rebalance:
                if (a.bySlot) {
                    fabric.MoveSlot(a.switchIndex, a.slot, a.address);
                } else if (device != 0 || function != 0) {
                    throw UsageError(FormatPfa(a.pfa) +
                                     " is not a function the machine moves: an on-board drive "
                                     "or a switch, at device 0, function 0");
                } else {
                    fabric.MoveFunction(bus, a.address);
                }
                return 0;
        }
    } catch (const std::logic_error& e) {
        throw UsageError(e.what());
    }
    return 0;
}

MachineCounters CountersOf(const sim::Fabric& fabric, uint64_t mappings, int64_t liveMappings) {
    const sim::Counters c = fabric.GetCounters();
    MachineCounters out;
    out.portPairs = c.portPairs;
    out.ecamAccesses = c.ecamAccesses;
    out.configReads = c.configReads;
    out.configWrites = c.configWrites;
    out.mappings = mappings;
    out.liveMappings = static_cast<uint64_t>(liveMappings);
    out.strayWrites = c.strayWrites;
    out.ramMappings = c.ramMappings;
    out.earlyConfig = c.earlyConfig;
    out.slotCommandOverrun = c.slotCommandOverrun;
    out.slotPowerShort = c.slotPowerShort;
    out.mpsOverCapability = c.mpsOverCapability;
    out.clockUs = fabric.ClockUs();
    return out;
}

}  // namespace corvaxctl
