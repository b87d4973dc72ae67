// "remove": the selector kinds, the removal parameters and the instance-ID listing.
#include "tool_fixture.h"

namespace {

using simdev::Call;
using simdev::Device;
using simdev::PciDevice;
using tolvane::SelectorKind;

struct KindCase {
    const char* selector;
    SelectorKind kind;
};

TEST(SelectorKind, DecidedFromTheSelectorsFirstCharacters) {
    const KindCase cases[] = {
        {"Marlowtronics", SelectorKind::Maker},   {"Marlowt", SelectorKind::Maker},
        {"MarlowtXYZ", SelectorKind::Maker},      {"Marlow", SelectorKind::Listing},
        {"marlowtronics", SelectorKind::Listing}, {"NVM Express", SelectorKind::Nvme},
        {"NVM Exp", SelectorKind::Nvme},          {"NVM Expert", SelectorKind::Nvme},
        {"NVM", SelectorKind::Listing},           {"PCI:3,0,0", SelectorKind::Location},
        {"PCI:", SelectorKind::Location},         {"PCI\\VEN_9999&DEV_9999", SelectorKind::Listing},
        {"pci:3", SelectorKind::Listing},         {"", SelectorKind::Listing},
    };
    for (const KindCase& c : cases) {
        EXPECT_EQ(tolvane::DecideSelectorKind(c.selector, nullptr), c.kind) << c.selector;
    }
    SetupGuid guid{};
    EXPECT_EQ(tolvane::DecideSelectorKind("Marlowtronics", &guid), SelectorKind::Class);
}

class Removal : public ToolTest {
  protected:
    std::vector<std::string> Removed() {
        std::vector<std::string> ids;
        for (const simdev::ClassInstallerCall& call : tree().classInstallerCalls) {
            if (call.installFunction == SETUP_DIF_REMOVE) {
                ids.push_back(call.instanceId);
            }
        }
        return ids;
    }
    // What one removal by `selector` removes; the tree is put back for the next.
    std::vector<std::string> RemovedBy(const std::string& selector) {
        tree().classInstallerCalls.clear();
        EXPECT_EQ(tolvane::RemoveDevices(selector.c_str(), nullptr), tolvane::kSuccess);
        const std::vector<std::string> removed = Removed();
        for (Device& d : tree().devices) {
            d.removed = false;
            d.present = true;
        }
        return removed;
    }
    static Device Named(const std::string& id) {
        Device d;
        d.instanceId = id;
        return d;
    }
};

TEST_F(Removal, RemovalIsGlobalInTheCurrentProfile) {
    simdev::AddDevice(PciDevice("A", "PCI\\VEN_1&DEV_2", 3, 0, 0));
    EXPECT_EQ(tolvane::RemoveDevices("PCI:3", nullptr), tolvane::kSuccess);
    ASSERT_EQ(tree().classInstallerCalls.size(), 1u);
    const simdev::ClassInstallerCall& call = tree().classInstallerCalls[0];
    EXPECT_EQ(call.installFunction, SETUP_DIF_REMOVE);
    ASSERT_TRUE(call.params);
    EXPECT_EQ(call.params->installFunction, SETUP_DIF_REMOVE);
    EXPECT_EQ(call.params->scope, SETUP_DI_REMOVEDEVICE_GLOBAL);
    EXPECT_EQ(call.params->hwProfile, 0u);
    EXPECT_TRUE(tree().devices[0].removed);
    ASSERT_EQ(tree().getClassDevsCalls.size(), 1u);
    EXPECT_EQ(tree().getClassDevsCalls[0].flags, SETUP_DIGCF_PRESENT | SETUP_DIGCF_ALLCLASSES);
    EXPECT_FALSE(tree().getClassDevsCalls[0].classGuid);
}

TEST_F(Removal, ClassKindRemovesEveryPresentDeviceOfTheClass) {
    SetupGuid disk = simdev::ParseGuid("{4d36e967-e325-11ce-bfc1-08002be10318}");
    Device d0 = Named("DISK0");
    d0.classGuid = disk;
    Device d1 = Named("DISK1");
    d1.classGuid = disk;
    Device gone = Named("GONE");
    gone.classGuid = disk;
    gone.present = false;
    simdev::AddDevice(d0);
    simdev::AddDevice(Named("OTHER"));
    simdev::AddDevice(d1);
    simdev::AddDevice(gone);
    EXPECT_EQ(tolvane::RemoveDevices(nullptr, &disk), tolvane::kSuccess);
    EXPECT_EQ(Removed(), (std::vector<std::string>{"DISK0", "DISK1"}));
}

struct TextCase {
    std::string selector;
    std::vector<std::string> removed;
};

TEST_F(Removal, MakerAndNvmeKindsMatchTheKeyAnywhereInTheText) {
    Device exact = Named("EXACT");
    exact.manufacturer = "Marlowt";
    Device ends = Named("ENDS");
    ends.manufacturer = "Built by Marlowt";
    Device full = Named("FULL");
    full.manufacturer = "Marlowtronics Ltd";
    Device shorter = Named("SHORT");
    shorter.manufacturer = "Marlow";
    Device lower = Named("LOWER");
    lower.manufacturer = "marlowtronics";
    Device none = Named("NOMFG");
    Device nvme = Named("NVME");
    nvme.description = "Standard NVM Express Controller";
    Device nvmeAlso = Named("NVME2");
    nvmeAlso.description = "NVM Exp";
    Device sata = Named("SATA");
    sata.description = "Standard SATA AHCI Controller";
    for (const Device& d : {exact, ends, full, shorter, lower, none, nvme, nvmeAlso, sata}) {
        simdev::AddDevice(d);
    }
    const TextCase cases[] = {
        {"Marlowtronics", {"EXACT", "ENDS", "FULL"}},
        {"MarlowtWHATEVER", {"EXACT", "ENDS", "FULL"}},  // only 7 characters count
        {"NVM Express", {"NVME", "NVME2"}},
        {"NVM Express Controller", {"NVME", "NVME2"}},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(RemovedBy(c.selector), c.removed) << c.selector;
    }
}

TEST_F(Removal, KeyIsSearchedOnlyWithinTheRead) {
    // A text that fills the buffer exactly is searched up to its end, and no further.
    Device full = Named("FULLBUF");
    full.manufacturer = std::string(255, 'x');
    simdev::AddDevice(full);
    Device big = Named("TOOBIG");
    big.manufacturer = std::string(300, 'x') + "Marlowt";
    simdev::AddDevice(big);
    EXPECT_EQ(tolvane::RemoveDevices("Marlowtronics", nullptr), tolvane::kSuccess);
    EXPECT_TRUE(Removed().empty()) << "a text over 256 bytes is not read";
}

TEST_F(Removal, LocationKindReadsDecimalRunsAndOnlyMatchesPciLocations) {
    simdev::AddDevice(PciDevice("B3", "PCI\\VEN_1&DEV_1", 3, 0, 0));
    simdev::AddDevice(PciDevice("B44", "PCI\\VEN_1&DEV_1", 44, 0, 0));
    simdev::AddDevice(PciDevice("B0", "PCI\\VEN_1&DEV_1", 0, 0, 0));
    simdev::AddDevice(PciDevice("B3D1", "PCI\\VEN_1&DEV_1", 3, 1, 0));
    Device slot = Named("SLOT");
    slot.location = "PCI Slot 3";
    simdev::AddDevice(slot);
    Device board = Named("BOARD");
    board.location = "on board";
    simdev::AddDevice(board);
    Device noLocation = Named("NOLOC");
    simdev::AddDevice(noLocation);

    const TextCase cases[] = {
        {"PCI:3,0,0", {"B3", "SLOT"}},
        {"PCI:3.0.0", {"B3", "SLOT"}},
        {"PCI:3", {"B3", "SLOT"}},
        {"PCI:0300", {"B44"}},  // one decimal run: bus 300 & 0xFF
        {"PCI:3,1,0", {"B3D1"}},
        {"PCI:zz,3", {"B3", "SLOT"}},  // text without digits separates nothing
        // PFA 0: the function at 0:0.0 only, never the devices without a PCI location.
        {"PCI:0", {"B0"}},
        {"PCI:0,0,0", {"B0"}},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(RemovedBy(c.selector), c.removed) << c.selector;
    }
}

TEST_F(Removal, LocationSelectorWithoutADecimalDigitRemovesNothingAndFails) {
    simdev::AddDevice(PciDevice("B0", "PCI\\VEN_1&DEV_1", 0, 0, 0));
    Device board = Named("BOARD");
    board.location = "on board";
    simdev::AddDevice(board);
    // Read as 0, any of these would remove the host bridge at 00:00.0.
    for (const char* selector : {"PCI:", "PCI:zz,zz,zz", "PCI:,,", "PCI:x.y.z", "PCI:bus"}) {
        tree().console.clear();
        EXPECT_EQ(Run({"remove", selector}), 0);
        EXPECT_EQ(tree().console, std::string(kBanner) + "Driver remove fail \n\r" + kCountdown)
            << selector;
        EXPECT_TRUE(Removed().empty()) << selector;
    }
    EXPECT_FALSE(simdev::FindDevice("B0")->removed);
    EXPECT_FALSE(simdev::FindDevice("BOARD")->removed);
}

TEST_F(Removal, RefusedRemovalIsPassedOver) {
    simdev::AddDevice(PciDevice("A", "PCI\\VEN_1&DEV_1", 3, 0, 0));
    simdev::AddDevice(PciDevice("B", "PCI\\VEN_1&DEV_1", 3, 0, 0));
    simdev::FindDevice("A")->refuseRemove = true;
    EXPECT_EQ(Run({"remove", "PCI:3"}), 0);
    EXPECT_EQ(tree().console, std::string(kBanner) + "Driver remove success \n\r" + kCountdown);
    EXPECT_FALSE(simdev::FindDevice("A")->removed);
    EXPECT_TRUE(simdev::FindDevice("B")->removed);
}

TEST_F(Removal, RemoveDeviceNeedsItsParameters) {
    simdev::AddDevice(PciDevice("A", "PCI\\VEN_1&DEV_1", 3, 0, 0));
    tree().failures[Call::SetClassInstallParams] = 0;
    EXPECT_EQ(tolvane::RemoveDevices("PCI:3", nullptr), tolvane::kSuccess);
    EXPECT_TRUE(tree().classInstallerCalls.empty()) << "no DIF_REMOVE without the parameters";
    EXPECT_FALSE(tree().devices[0].removed);
}

TEST_F(Removal, ListingPrintsOnlyIdsThatWereWritten) {
    Device first = Named("ROOT\\FIRST\\0000");
    Device silent = Named("ROOT\\SILENT\\0000");
    silent.idAnswer = Device::IdAnswer::SucceedsWithoutWriting;
    Device failing = Named("ROOT\\FAILING\\0000");
    failing.idAnswer = Device::IdAnswer::Fails;
    Device last = Named("ROOT\\LAST\\0000");
    Device absent = Named("ROOT\\ABSENT\\0000");
    absent.present = false;
    for (const Device& d : {first, silent, failing, last, absent}) {
        simdev::AddDevice(d);
    }
    EXPECT_EQ(tolvane::RemoveDevices(tolvane::kDefaultHardwareId, nullptr), tolvane::kSuccess);
    // The silent device must not repeat FIRST's ID from a buffer left uncleared.
    EXPECT_EQ(tree().console, "ROOT\\FIRST\\0000\r\nROOT\\LAST\\0000\r\n");
    EXPECT_TRUE(tree().classInstallerCalls.empty());
}

TEST_F(Removal, ListingSkipsIdsThatDoNotFitTheBuffer) {
    simdev::AddDevice(Named(std::string(199, 'I')));
    simdev::AddDevice(Named(std::string(200, 'J')));
    EXPECT_EQ(tolvane::RemoveDevices("anything", nullptr), tolvane::kSuccess);
    EXPECT_EQ(tree().console, std::string(199, 'I') + "\r\n");
}

TEST_F(Removal, FailsOnlyWithoutSelectorOrDeviceList) {
    EXPECT_EQ(tolvane::RemoveDevices(nullptr, nullptr), tolvane::kFailure);
    EXPECT_TRUE(tree().getClassDevsCalls.empty());
    tree().failures[Call::GetClassDevs] = 0;
    EXPECT_EQ(tolvane::RemoveDevices("PCI:3", nullptr), tolvane::kFailure);
    SetupGuid guid{};
    EXPECT_EQ(tolvane::RemoveDevices(nullptr, &guid), tolvane::kFailure);
}

}  // namespace
