// Every property the selection reads goes through a 256-byte buffer: a value of exactly 256
// bytes is read and acted on, one of 257 bytes is not read and the device is passed over.
#include <functional>

#include "tool_fixture.h"

namespace {

using simdev::Device;

// A text property of the given size in bytes, terminator included.
std::string TextOfSize(const std::string& start, size_t bytes) {
    return start + std::string(bytes - 1 - start.size(), ' ');
}

struct SizeCase {
    const char* route;
    std::vector<std::string> args;
    // Gives the device one property of the given size; every other one it reads fits.
    std::function<void(Device&, size_t)> arrange;
    uint32_t installFunction;  // what reaches the device when it is selected
};

class PropertySize : public ToolTest {};

TEST_F(PropertySize, ValueOfTwoHundredFiftySevenBytesIsPassedOver) {
    const std::string id = "PCI\\VEN_1F0A&DEV_0042";
    const std::string location = "PCI bus 4, device 1, function 0";
    const SizeCase cases[] = {
        {"hardware IDs, identifier form",
         {"chgproperty", "1F0A0042"},
         // One ID and the list's closing empty string: the ID is the size less two.
         [&](Device& d, size_t bytes) {
             d.hardwareIds = {id + std::string(bytes - 2 - id.size(), 'S')};
         },
         SETUP_DIF_PROPERTYCHANGE},
        {"location, identifier form",
         {"chgproperty", "1F0A0042"},
         [&](Device& d, size_t bytes) { d.location = TextOfSize(location, bytes); },
         SETUP_DIF_PROPERTYCHANGE},
        {"location, PFA form",
         {"disable", "PCI:0408"},
         [&](Device& d, size_t bytes) { d.location = TextOfSize(location, bytes); },
         SETUP_DIF_PROPERTYCHANGE},
        {"location, remove",
         {"remove", "PCI:4,1,0"},
         [&](Device& d, size_t bytes) { d.location = TextOfSize(location, bytes); },
         SETUP_DIF_REMOVE},
        {"manufacturer, remove",
         {"remove", "Marlowtronics"},
         [&](Device& d, size_t bytes) { d.manufacturer = TextOfSize("Marlowtronics", bytes); },
         SETUP_DIF_REMOVE},
        {"description, remove",
         {"remove", "NVM Express"},
         [&](Device& d, size_t bytes) { d.description = TextOfSize("NVM Express", bytes); },
         SETUP_DIF_REMOVE},
    };
    for (const SizeCase& c : cases) {
        for (size_t bytes : {size_t{256}, size_t{257}}) {
            simdev::Reset();
            Device d = simdev::PciDevice("DRIVE", id, 4, 1, 0);
            d.manufacturer = "Marlowtronics";
            d.description = "NVM Express";
            c.arrange(d, bytes);
            simdev::AddDevice(d);
            EXPECT_EQ(Run(c.args), 0);
            size_t reached = 0;
            for (const simdev::ClassInstallerCall& call : tree().classInstallerCalls) {
                reached += call.installFunction == c.installFunction ? 1 : 0;
            }
            EXPECT_EQ(reached, bytes == 256 ? 1u : 0u) << c.route << ", " << bytes << " bytes";
            EXPECT_EQ(tree().openSets, 0) << c.route;
        }
    }
}

}  // namespace
