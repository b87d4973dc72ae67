// Selecting devices by identifier or by PCI location, the state each receives, restart.
#include "tool_fixture.h"

namespace {

using simdev::Call;
using simdev::Device;
using simdev::PciDevice;

class StateChange : public ToolTest {
  protected:
    // A small machine: the switch's upstream port and two functions of one drive model, a
    // function at device 0 with the same IDs, and a device with no PCI location.
    void SetUp() override {
        ToolTest::SetUp();
        simdev::AddDevice(PciDevice("SW", "PCI\\VEN_10B5&DEV_8748&SUBSYS_0", 1, 2, 0));
        simdev::AddDevice(PciDevice("DRIVE_A", "PCI\\VEN_1F0A&DEV_0042", 4, 1, 0));
        simdev::AddDevice(PciDevice("DRIVE_B", "PCI\\VEN_1F0A&DEV_0042", 4, 1, 1));
        simdev::AddDevice(PciDevice("DRIVE_DEV0", "PCI\\VEN_1F0A&DEV_0042", 5, 0, 0));
        Device acpi;
        acpi.instanceId = "ACPI";
        acpi.hardwareIds = {"ACPI\\PNP0A08"};
        acpi.location = "on board";
        simdev::AddDevice(acpi);
        Device host = PciDevice("HOST", "PCI\\VEN_8086&DEV_0C00", 0, 0, 0);
        simdev::AddDevice(host);
    }
};

TEST_F(StateChange, DeviceStateIsSentWithConfigSpecificScopeAndCurrentProfile) {
    EXPECT_EQ(Run({"chgproperty", "PCI:0408"}), 0);
    ASSERT_EQ(tree().classInstallerCalls.size(), 1u);
    const simdev::ClassInstallerCall& call = tree().classInstallerCalls[0];
    EXPECT_EQ(call.instanceId, "DRIVE_A");
    EXPECT_EQ(call.installFunction, SETUP_DIF_PROPERTYCHANGE);
    ASSERT_TRUE(call.params);
    EXPECT_EQ(call.params->installFunction, SETUP_DIF_PROPERTYCHANGE);
    EXPECT_EQ(call.params->stateChange, SETUP_DICS_PROPCHANGE);
    EXPECT_EQ(call.params->scope, SETUP_DICS_FLAG_CONFIGSPECIFIC);
    EXPECT_EQ(call.params->hwProfile, 0u);
    ASSERT_EQ(tree().getClassDevsCalls.size(), 1u);
    EXPECT_FALSE(tree().getClassDevsCalls[0].classGuid);
    EXPECT_FALSE(tree().getClassDevsCalls[0].enumeratorGiven);
    EXPECT_EQ(tree().getClassDevsCalls[0].flags, SETUP_DIGCF_PRESENT | SETUP_DIGCF_ALLCLASSES);
}

struct PfaCase {
    std::string command;
    std::string operand;
    uint32_t state;
    std::string printedPfa;
    std::vector<std::string> changed;
};

TEST_F(StateChange, PfaFormPassesTheCommandsOwnStateToEveryFunctionAtThatAddress) {
    const PfaCase cases[] = {
        {"disable", "PCI:0408", SETUP_DICS_DISABLE, "0x0408", {"DRIVE_A"}},
        {"enable", "PCI:0x0409", SETUP_DICS_ENABLE, "0x0004", {}},  // prefix counts in the 4
        {"enable", "PCI:0409", SETUP_DICS_ENABLE, "0x0409", {"DRIVE_B"}},
        {"chgproperty", "PCI:510", SETUP_DICS_PROPCHANGE, "0x0510", {}},
        {"chgproperty", "PCI:500", SETUP_DICS_PROPCHANGE, "0x0500", {"DRIVE_DEV0"}},
        {"disable", "PCI:040899", SETUP_DICS_DISABLE, "0x0408", {"DRIVE_A"}},  // first four
        {"enable", "PCI:4zz", SETUP_DICS_ENABLE, "0x0004", {}},  // digits up to the first stop
        // Only the function at 0:0.0; the device with a non-PCI location is never reached.
        {"disable", "PCI:0000", SETUP_DICS_DISABLE, "0x0000", {"HOST"}},
        {"disable", "PCI:0", SETUP_DICS_DISABLE, "0x0000", {"HOST"}},
        {"disable", "PCI:0x0", SETUP_DICS_DISABLE, "0x0000", {"HOST"}},
        {"disable", "PCI:0zz", SETUP_DICS_DISABLE, "0x0000", {"HOST"}},
    };
    for (const PfaCase& c : cases) {
        for (Device& d : tree().devices) {
            d.enabled = true;
        }
        tree().classInstallerCalls.clear();
        tree().console.clear();
        EXPECT_EQ(Run({c.command, c.operand}), 0);
        EXPECT_NE(tree().console.find("change property by PFA => PFA = " + c.printedPfa + "\n\r"),
                  std::string::npos)
            << c.operand;
        std::vector<std::string> changed;
        for (const simdev::ClassInstallerCall& call : tree().classInstallerCalls) {
            changed.push_back(call.instanceId);
            ASSERT_TRUE(call.params);
            EXPECT_EQ(call.params->stateChange, c.state) << c.operand;
        }
        EXPECT_EQ(changed, c.changed) << c.command << ' ' << c.operand;
    }
    EXPECT_FALSE(simdev::FindDevice("HOST")->enabled);
    EXPECT_TRUE(simdev::FindDevice("ACPI")->enabled);
}

struct NoDigitCase {
    std::string command;
    std::string failLine;
};

TEST_F(StateChange, PfaOperandWhoseFieldHoldsNoDigitSelectsNothingAndFails) {
    // Read as 0, any of these would reach the host bridge at 00:00.0.
    const NoDigitCase commands[] = {
        {"chgproperty", "change property by PFA fail \n\r"},
        {"disable", "disable by PFA fail \n\r"},
        {"enable", "enable by PFA fail \n\r"},
    };
    const char* const operands[] = {
        "PCI:",      "PCI:zz", "PCI:x", "PCI:xX", "PCI: 0", "PCI:-1",
        "PCI:zz0",    // the reading stops before the digit
        "PCI:xxxx5",  // the digit lies past the four characters read
    };
    for (const NoDigitCase& c : commands) {
        for (const char* operand : operands) {
            simdev::FindDevice("HOST")->enabled = true;
            tree().classInstallerCalls.clear();
            tree().console.clear();
            EXPECT_EQ(Run({c.command, operand}), 0);
            EXPECT_EQ(tree().console, kBanner + c.failLine + kCountdown)
                << c.command << ' ' << operand;
            EXPECT_TRUE(tree().classInstallerCalls.empty()) << c.command << ' ' << operand;
            EXPECT_TRUE(simdev::FindDevice("HOST")->enabled) << c.command << ' ' << operand;
        }
    }
}

TEST_F(StateChange, PfaFormChangesEveryDeviceThatSharesTheAddress) {
    simdev::AddDevice(PciDevice("DRIVE_A_TWIN", "PCI\\VEN_1F0A&DEV_0042", 4, 1, 0));
    EXPECT_EQ(Run({"disable", "PCI:0408"}), 0);
    EXPECT_EQ(StatesSentTo("DRIVE_A"), std::vector<uint32_t>{SETUP_DICS_DISABLE});
    EXPECT_EQ(StatesSentTo("DRIVE_A_TWIN"), std::vector<uint32_t>{SETUP_DICS_DISABLE});
}

struct IdCase {
    std::string command;
    std::string operand;
    std::vector<std::string> changed;
};

TEST_F(StateChange, IdentifierFormSelectsByVendorAndDeviceDigitsAndSendsPropChange) {
    const IdCase cases[] = {
        // Every command of this form sends DICS_PROPCHANGE.
        {"disable", "1F0A0042", {"DRIVE_A", "DRIVE_B"}},
        {"enable", "1F0A0042", {"DRIVE_A", "DRIVE_B"}},
        {"chgproperty", "1F0A0042", {"DRIVE_A", "DRIVE_B"}},
        {"disable", "10B58748", {"SW"}},
        {"disable", "1F0A004299", {"DRIVE_A", "DRIVE_B"}},  // characters after 8 ignored
        {"disable", "1f0a0042", {}},                        // text comparison: case matters
        {"disable", "1F0A004", {}},                         // shorter than 8 characters
        {"disable", "1F0A", {}},
        {"disable", "8086", {}},
        {"disable", "80860C00", {}},  // the host bridge sits at device 0
        {"disable", "1F0A9999", {}},
    };
    for (const IdCase& c : cases) {
        tree().classInstallerCalls.clear();
        EXPECT_EQ(Run({c.command, c.operand}), 0);
        std::vector<std::string> changed;
        for (const simdev::ClassInstallerCall& call : tree().classInstallerCalls) {
            changed.push_back(call.instanceId);
            ASSERT_TRUE(call.params);
            EXPECT_EQ(call.params->stateChange, SETUP_DICS_PROPCHANGE) << c.command;
        }
        EXPECT_EQ(changed, c.changed) << c.command << ' ' << c.operand;
    }
    EXPECT_TRUE(simdev::FindDevice("DRIVE_A")->enabled) << "disable by ID never disables";
}

TEST_F(StateChange, IdentifierFormNeverSelectsAnyFunctionOfDeviceZero) {
    simdev::AddDevice(PciDevice("DEV0_F1", "PCI\\VEN_1F0A&DEV_0042", 5, 0, 1));
    simdev::AddDevice(PciDevice("DEV0_F7", "PCI\\VEN_1F0A&DEV_0042", 6, 0, 7));
    simdev::AddDevice(PciDevice("BUS0_F1", "PCI\\VEN_1F0A&DEV_0042", 0, 0, 1));
    simdev::AddDevice(PciDevice("DEV31_F1", "PCI\\VEN_1F0A&DEV_0042", 5, 31, 1));
    EXPECT_EQ(Run({"disable", "1F0A0042"}), 0);
    std::vector<std::string> changed;
    for (const simdev::ClassInstallerCall& call : tree().classInstallerCalls) {
        changed.push_back(call.instanceId);
    }
    // Function 1 of device 1 and of device 31 are reached; no function of device 0 is.
    EXPECT_EQ(changed, (std::vector<std::string>{"DRIVE_A", "DRIVE_B", "DEV31_F1"}));

    // The PFA form reaches it.
    tree().classInstallerCalls.clear();
    EXPECT_EQ(Run({"disable", "PCI:0501"}), 0);
    EXPECT_EQ(StatesSentTo("DEV0_F1"), std::vector<uint32_t>{SETUP_DICS_DISABLE});
    EXPECT_EQ(tree().classInstallerCalls.size(), 1u);
}

struct HardwareIdListCase {
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    bool selected;
};

TEST_F(StateChange, IdentifierFormComparesTheFirstHardwareIdOnly) {
    const HardwareIdListCase cases[] = {
        {"FIRST", {"PCI\\VEN_1F0A&DEV_0042&SUBSYS_00011F0A", "PCI\\VEN_8086&DEV_0C00"}, true},
        {"SECOND", {"PCI\\VEN_8086&DEV_0C00", "PCI\\VEN_1F0A&DEV_0042"}, false},
        {"THIRD", {"PCI\\VEN_8086&DEV_0C00", "ACPI\\X", "PCI\\VEN_1F0A&DEV_0042"}, false},
        // A first ID that ends before offset 21, with the next ID's bytes where the vendor or
        // device digits would be.
        {"SHORT", {"PCI\\VEN_1F0A", "XXXX0042"}, false},
        {"TINY", {"ROOT\\X", "_1F0A_____0042"}, false},
    };
    int device = 1;
    for (const HardwareIdListCase& c : cases) {
        Device d = PciDevice(c.instanceId, "", 6, device++, 0);
        d.hardwareIds = c.hardwareIds;
        simdev::AddDevice(d);
    }
    EXPECT_EQ(Run({"chgproperty", "1F0A0042"}), 0);
    for (const HardwareIdListCase& c : cases) {
        EXPECT_EQ(StatesSentTo(c.instanceId).size(), c.selected ? 1u : 0u) << c.instanceId;
    }
    EXPECT_EQ(StatesSentTo("DRIVE_A"), std::vector<uint32_t>{SETUP_DICS_PROPCHANGE});
}

TEST_F(StateChange, IdentifierFormPassesOverUnreadableAndOversizedProperties) {
    Device big = PciDevice("BIG", "PCI\\VEN_1F0A&DEV_0042", 6, 1, 0);
    big.hardwareIds.push_back(std::string(240, 'X'));  // list over 256 bytes
    simdev::AddDevice(big);
    Device noLocation = PciDevice("NOLOC", "PCI\\VEN_1F0A&DEV_0042", 7, 1, 0);
    noLocation.location.reset();
    simdev::AddDevice(noLocation);
    Device fits = PciDevice("FITS", "PCI\\VEN_1F0A&DEV_0042", 8, 1, 0);
    fits.hardwareIds.push_back(std::string(232, 'Y'));  // 21 + 1 + 232 + 1 + 1 = 256 bytes
    simdev::AddDevice(fits);

    EXPECT_EQ(Run({"chgproperty", "1F0A0042"}), 0);
    EXPECT_TRUE(StatesSentTo("BIG").empty());
    EXPECT_TRUE(StatesSentTo("NOLOC").empty());
    EXPECT_EQ(StatesSentTo("FITS"), std::vector<uint32_t>{SETUP_DICS_PROPCHANGE});
    EXPECT_EQ(StatesSentTo("DRIVE_B"), std::vector<uint32_t>{SETUP_DICS_PROPCHANGE})
        << "the walk goes on after a passed-over device";
}

TEST_F(StateChange, RefusedChangesDoNotStopTheWalkNorChangeTheResult) {
    tree().failures[Call::SetClassInstallParams] = 1;
    EXPECT_EQ(tolvane::ChangeStateById("1F0A0042"), tolvane::kSuccess);
    EXPECT_TRUE(StatesSentTo("DRIVE_A").empty()) << "no class installer call without params";
    EXPECT_EQ(StatesSentTo("DRIVE_B"), std::vector<uint32_t>{SETUP_DICS_PROPCHANGE});
}

TEST_F(StateChange, AbsentOperandOrMissingDeviceListFails) {
    EXPECT_EQ(tolvane::ChangeStateById(nullptr), tolvane::kFailure);
    EXPECT_EQ(tolvane::ChangeStateByPfa(nullptr, SETUP_DICS_ENABLE), tolvane::kFailure);
    EXPECT_TRUE(tree().console.empty());
    tree().failures[Call::GetClassDevs] = 0;
    EXPECT_EQ(tolvane::ChangeStateById("1F0A0042"), tolvane::kFailure);
    EXPECT_EQ(tolvane::ChangeStateByPfa("PCI:0408", SETUP_DICS_ENABLE), tolvane::kFailure);
}

TEST_F(StateChange, ChangeDeviceStateReportsWhetherTheClassInstallerRanTheChange) {
    SetupDevInfoSet set = DiGetClassDevs(nullptr, nullptr, SETUP_DIGCF_ALLCLASSES);
    SetupDevElement element{};
    ASSERT_TRUE(DiEnumDeviceInfo(set, 1, &element));  // DRIVE_A
    EXPECT_TRUE(tolvane::ChangeDeviceState(set, &element, SETUP_DICS_DISABLE));
    EXPECT_FALSE(simdev::FindDevice("DRIVE_A")->enabled);
    simdev::FindDevice("DRIVE_A")->refusedStates = {SETUP_DICS_ENABLE};
    EXPECT_FALSE(tolvane::ChangeDeviceState(set, &element, SETUP_DICS_ENABLE));
    tree().failures[Call::SetClassInstallParams] = 0;
    size_t calls = tree().classInstallerCalls.size();
    EXPECT_FALSE(tolvane::ChangeDeviceState(set, &element, SETUP_DICS_PROPCHANGE));
    EXPECT_EQ(tree().classInstallerCalls.size(), calls);
    DiDestroyDeviceInfoList(set);
}

class RestartDisks : public ToolTest {
  protected:
    void AddDisk(const std::string& id, bool present = true) {
        Device d;
        d.instanceId = id;
        d.diskInterface = true;
        d.present = present;
        simdev::AddDevice(d);
    }
};

TEST_F(RestartDisks, StopsThenStartsEveryPresentDisk) {
    AddDisk("DISK0");
    AddDisk("DISK1");
    AddDisk("GONE", false);
    simdev::AddDevice(PciDevice("NOTDISK", "PCI\\VEN_1&DEV_2", 1, 1, 0));
    EXPECT_EQ(Run({"restart"}), 0);
    EXPECT_EQ(tree().console,
              std::string(kBanner) + "restart disk status success \n\r" + kCountdown);
    ASSERT_EQ(tree().getClassDevsCalls.size(), 1u);
    ASSERT_TRUE(tree().getClassDevsCalls[0].classGuid);
    EXPECT_TRUE(
        simdev::SameGuid(*tree().getClassDevsCalls[0].classGuid, tolvane::kGuidDevinterfaceDisk));
    EXPECT_EQ(tree().getClassDevsCalls[0].flags, SETUP_DIGCF_PRESENT | SETUP_DIGCF_DEVICEINTERFACE);
    const std::vector<uint32_t> stopStart = {SETUP_DICS_STOP, SETUP_DICS_START};
    EXPECT_EQ(StatesSentTo("DISK0"), stopStart);
    EXPECT_EQ(StatesSentTo("DISK1"), stopStart);
    EXPECT_TRUE(StatesSentTo("GONE").empty());
    EXPECT_TRUE(StatesSentTo("NOTDISK").empty());
    for (const simdev::ClassInstallerCall& call : tree().classInstallerCalls) {
        EXPECT_EQ(call.params->scope, SETUP_DICS_FLAG_CONFIGSPECIFIC);
        EXPECT_EQ(call.params->hwProfile, 0u);
    }
}

TEST_F(RestartDisks, DiskThatRefusesToStopIsNotStarted) {
    AddDisk("STUBBORN");
    AddDisk("DISK1");
    simdev::FindDevice("STUBBORN")->refusedStates = {SETUP_DICS_STOP};
    simdev::FindDevice("DISK1")->refusedStates = {SETUP_DICS_START};
    EXPECT_EQ(tolvane::RestartDisks(), tolvane::kSuccess);
    EXPECT_EQ(StatesSentTo("STUBBORN"), std::vector<uint32_t>{SETUP_DICS_STOP});
    EXPECT_EQ(StatesSentTo("DISK1"), (std::vector<uint32_t>{SETUP_DICS_STOP, SETUP_DICS_START}));
    EXPECT_TRUE(simdev::FindDevice("STUBBORN")->started);
}

TEST_F(RestartDisks, StopParamsRefusedMeansNoStart) {
    AddDisk("DISK0");
    tree().failures[Call::SetClassInstallParams] = 1;
    EXPECT_EQ(tolvane::RestartDisks(), tolvane::kSuccess);
    EXPECT_TRUE(tree().classInstallerCalls.empty());
}

TEST_F(RestartDisks, AlwaysSucceedsEvenWithoutADiskList) {
    tree().failures[Call::GetClassDevs] = 0;
    EXPECT_EQ(Run({"restart"}), 0);
    EXPECT_EQ(tree().console,
              std::string(kBanner) + "restart disk status success \n\r" + kCountdown);
}

}  // namespace
