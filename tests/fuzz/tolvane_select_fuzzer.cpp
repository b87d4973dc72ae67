// Fuzz target of Tolvane's device selection. An input builds a small simulated device tree
// (hardware IDs, location texts of every length, makers, descriptions, classes, calls that
// fail) and runs one selecting command on it: chgproperty, enable or disable in the PFA or the
// identifier form, remove with any selector, or restart. Afterwards no set or module may be
// open, the exit code must be one the program gives, and a state change or a removal by
// location must have reached exactly the devices its selection rule names.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "device_tree.h"
#include "tolvane.h"

namespace {

class Stream {
  public:
    Stream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string Text(size_t maxLength) {
        const size_t length = Byte() % (maxLength + 1);
        std::string out;
        for (size_t i = 0; i < length && pos_ < size_; ++i) {
            const char c = static_cast<char>(Byte());
            if (c != '\0') {
                out.push_back(c);
            }
        }
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

[[noreturn]] void Finding(const std::string& what) {
    std::fprintf(stderr, "tolvane selection finding: %s\n", what.c_str());
    std::abort();
}

const char* const kIds[] = {"PCI\\VEN_1F0A&DEV_0710", "PCI\\VEN_8086&DEV_0A54",
                            "PCI\\VEN_144D&DEV_A808", "ROOT\\CORVAX", "PCI\\VEN_1F0A"};
const char* const kMakers[] = {"Samsung", "Intel", "(Standard disk drives)", "NVMe Maker"};
const char* const kDescriptions[] = {"Standard NVM Express Controller", "NVMe SSD",
                                     "PCI Express Root Port", "Disk drive"};
const char* const kClasses[] = {"DiskDrive", "SCSIAdapter", "System", "Net"};
const char* const kClassGuids[] = {
    "{4D36E967-E325-11CE-BFC1-08002BE10318}", "{4D36E97B-E325-11CE-BFC1-08002BE10318}",
    "{4D36E97D-E325-11CE-BFC1-08002BE10318}", "{4D36E972-E325-11CE-BFC1-08002BE10318}"};

std::string Location(Stream& in) {
    const uint8_t form = in.Byte();
    char text[96];
    switch (form % 4) {
        case 0:
            std::snprintf(text, sizeof(text), "PCI bus %u, device %u, function %u", in.Byte(),
                          in.Byte() % 40, in.Byte() % 10);
            return text;
        case 1:
            return in.Text(40);
        case 2:
            // Longer than the 256-byte property buffer.
            return "PCI bus 3, device 0, function 0" + std::string(240, ' ');
        default:
            std::snprintf(text, sizeof(text), "PCI Slot %u (PCI bus %u, device %u, function %u)",
                          in.Byte(), in.Byte(), in.Byte() % 32, in.Byte() % 8);
            return text;
    }
}

// What the program itself would read from an operand and a location, by the selection rules;
// digitRead tells a 0 written out from a 0 read from no digit, which names no function.
uint32_t OperandPfa(const std::string& operand, bool* digitRead) {
    uint32_t value = 0;
    *digitRead = false;
    for (size_t i = 4; i < operand.size() && i < 8; ++i) {
        const char c = operand[i];
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d >= 0) {
            value = value * 16 + static_cast<uint32_t>(d);
            *digitRead = true;
        } else if ((c == 'x' || c == 'X') && value == 0) {
            continue;
        } else {
            break;
        }
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Stream in(data, size);
    simdev::Reset();
    simdev::World& world = simdev::Tree();
    for (int c = 0; c < 4; ++c) {
        world.classes.push_back({kClasses[c], simdev::ParseGuid(kClassGuids[c])});
    }
    const unsigned devices = 1 + in.Byte() % 6;
    for (unsigned i = 0; i < devices; ++i) {
        simdev::Device d;
        d.instanceId = "DEV\\" + std::to_string(i);
        const uint8_t flags = in.Byte();
        const unsigned klass = (flags >> 4) % 4;
        d.className = kClasses[klass];
        d.classGuid = simdev::ParseGuid(kClassGuids[klass]);
        // With both bits a list of two IDs, so that a first ID shorter than the vendor and
        // device offsets has the next one's bytes right after it.
        if (flags & 1) {
            d.hardwareIds.push_back(kIds[in.Byte() % 5]);
        }
        if (flags & 2) {
            d.hardwareIds.push_back(in.Text(30));
        }
        if ((flags & 4) == 0) {
            d.location = Location(in);
        }
        if (flags & 8) {
            d.manufacturer = kMakers[in.Byte() % 4];
        }
        if (flags & 0x40) {
            d.description = kDescriptions[in.Byte() % 4];
        }
        d.present = (flags & 0x80) == 0 || (in.Byte() & 1);
        d.diskInterface = klass == 0;
        if (in.Byte() % 8 == 0) {
            d.refusedStates.insert(1 + in.Byte() % 5);
        }
        simdev::AddDevice(d);
    }
    if (in.Byte() % 8 == 0) {
        world.failures[static_cast<simdev::Call>(in.Byte() % 12)] = in.Byte() % 4;
    }

    static const char* const kCommands[] = {"chgproperty", "enable", "disable", "remove",
                                            "restart"};
    const uint8_t command = in.Byte() % 5;
    std::string operand;
    const uint8_t form = in.Byte() % 5;
    if (form == 0) {
        operand = "PCI:" + in.Text(6);
    } else if (form == 1) {
        char text[16];
        std::snprintf(text, sizeof(text), "PCI:%02X%02X", in.Byte(), in.Byte());
        operand = text;
    } else if (form == 2) {
        static const char* const kOperands[] = {"1F0A0710", "80860A54", "144DA808", "1f0a0710"};
        operand = kOperands[in.Byte() % 4];
    } else if (form == 3) {
        static const char* const kSelectors[] = {"=DiskDrive", "=Nothing",
                                                 "NVMe",       "Samsung",
                                                 "Intel",      "PCI bus 3, device 0, function 0"};
        operand = kSelectors[in.Byte() % 6];
    } else {
        operand = in.Text(24);
    }

    std::vector<std::string> args = {"C:\\tools\\tolvane.exe", kCommands[command], operand};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    const std::vector<simdev::Device> before = world.devices;
    const int code = tolvane::RunTolvane(static_cast<int>(args.size()), argv.data());

    if (code != 0 && code != -1 && code != 2) {
        Finding("exit code " + std::to_string(code));
    }
    if (world.openSets != 0 || world.openModules != 0) {
        Finding("a set or newdev.dll left open after " + args[1] + " " + operand);
    }
    // The state changes, and "remove" by location, are judged device by device.
    const bool pfaForm = operand.compare(0, 4, "PCI:") == 0;
    const bool stateChange = command <= 2 && world.failures.empty();
    const bool removalByLocation = command == 3 && pfaForm && world.failures.empty();
    if (!stateChange && !removalByLocation) {
        return 0;
    }
    // Which devices the change reached, and which the rules name.
    const uint32_t change = stateChange ? SETUP_DIF_PROPERTYCHANGE : SETUP_DIF_REMOVE;
    std::set<std::string> reached;
    for (const simdev::ClassInstallerCall& call : world.classInstallerCalls) {
        if (call.installFunction == change) {
            reached.insert(call.instanceId);
        }
    }
    // An operand without a digit names no function at all, not 00:00.0: hexadecimal in the
    // four characters after the prefix for a state change, decimal runs for "remove".
    bool operandDigit = false;
    const uint32_t operandPfa =
        removalByLocation
            ? static_cast<uint32_t>(tolvane::ParseLocationPfa(operand.c_str(), &operandDigit))
            : OperandPfa(operand, &operandDigit);
    for (const simdev::Device& d : before) {
        if (!d.present) {
            if (reached.count(d.instanceId) != 0) {
                Finding("a device that is not present was changed");
            }
            continue;
        }
        const bool locationReadable = d.location && d.location->size() + 1 <= 256;
        const std::string location = locationReadable ? *d.location : std::string();
        const int32_t pfa = tolvane::ParseLocationPfa(location.c_str());
        bool named = false;
        if (pfaForm) {
            named = operandDigit && locationReadable && location.compare(0, 3, "PCI") == 0 &&
                    static_cast<uint32_t>(pfa) == operandPfa;
            // A device without a PCI location text has no PFA; whether "PCI:0000" reaches it
            // is the program's choice, so such devices are not judged.
            if (locationReadable && location.compare(0, 3, "PCI") != 0 && operandDigit &&
                operandPfa == 0) {
                continue;
            }
        } else {
            size_t idBytes = 1;
            for (const std::string& id : d.hardwareIds) {
                idBytes += id.size() + 1;
            }
            const std::string first = d.hardwareIds.empty() ? std::string() : d.hardwareIds[0];
            named = !d.hardwareIds.empty() && idBytes <= 256 && locationReadable &&
                    operand.size() >= 8 && first.size() >= 21 &&
                    first.compare(8, 4, operand, 0, 4) == 0 &&
                    first.compare(17, 4, operand, 4, 4) == 0 && (pfa & 0xF8) != 0;
        }
        if (named != (reached.count(d.instanceId) != 0)) {
            Finding(std::string(named ? "missed " : "wrongly changed ") + d.instanceId + " (" +
                    location + ") with " + args[1] + " " + operand);
        }
    }
    return 0;
}
