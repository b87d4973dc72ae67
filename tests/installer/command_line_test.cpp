// The command line as a whole: banner, command table, result lines, countdown and exit codes.
#include "tool_fixture.h"

namespace {

using simdev::Call;

class CommandLine : public ToolTest {};

TEST_F(CommandLine, NoCommandWordPrintsTheBannerAloneAndReturnsMinusOne) {
    EXPECT_EQ(Run({}), -1);
    EXPECT_EQ(tree().console, kBanner);
    EXPECT_TRUE(tree().sleeps.empty());
}

TEST_F(CommandLine, UnknownWordIsNamedThenTheCountdownRuns) {
    EXPECT_EQ(Run({"Install", "ROOT\\X", "x.inf"}), 0);
    EXPECT_EQ(tree().console, std::string(kBanner) + "Unknown command(Install)\n\r" + kCountdown);
    EXPECT_EQ(tree().sleeps, std::vector<uint32_t>(5, 1000));
    EXPECT_TRUE(tree().getClassDevsCalls.empty());
}

struct WordCase {
    std::vector<std::string> args;
    int exitCode;
    std::string afterBanner;  // up to the countdown
    bool countdown;
};

TEST_F(CommandLine, CommandWordsAreMatchedOnTheirTableLengthCaseSensitively) {
    const WordCase cases[] = {
        {{"rescan"}, 0, "Enumerate Hardware changed success \n\r", true},
        {{"rescanner"}, 0, "Enumerate Hardware changed success \n\r", true},
        {{"resc"}, 0, "Unknown command(resc)\n\r", true},
        {{"RESCAN"}, 0, "Unknown command(RESCAN)\n\r", true},
        {{"restart"}, 0, "restart disk status success \n\r", true},
        {{"restarting", "extra", "more"}, 0, "restart disk status success \n\r", true},
        {{"Restart"}, 0, "Unknown command(Restart)\n\r", true},
        {{"remove"}, 0, "Driver remove success \n\r", true},
        {{"removeall"}, 0, "Driver remove success \n\r", true},
        {{"chgproperty"}, 2, "", false},
        {{"chgprop"}, 0, "Unknown command(chgprop)\n\r", true},
        {{"disable"}, 2, "", false},
        {{"enable"}, 2, "", false},
        {{"enabled"}, 2, "", false},
        {{"install"}, 2, "", false},
        {{"install", "ROOT\\TOLVANE"}, 2, "", false},
        {{""}, 0, "Unknown command()\n\r", true},
    };
    for (const WordCase& c : cases) {
        simdev::Reset();
        EXPECT_EQ(Run(c.args), c.exitCode) << c.args[0];
        std::string expected = kBanner + c.afterBanner + (c.countdown ? kCountdown : "");
        EXPECT_EQ(tree().console, expected) << c.args[0];
        EXPECT_EQ(tree().sleeps.size(), c.countdown ? 5u : 0u) << c.args[0];
    }
}

struct RescanCase {
    std::vector<std::string> args;
    uint32_t flags;
};

TEST_F(CommandLine, RescanIsSynchronousOnlyWhenTheOperandBeginsWithSync) {
    const RescanCase cases[] = {
        {{"rescan"}, SETUP_CM_REENUMERATE_ASYNCHRONOUS},
        {{"rescan", "-sync"}, SETUP_CM_REENUMERATE_SYNCHRONOUS},
        {{"rescan", "-syncnow"}, SETUP_CM_REENUMERATE_SYNCHRONOUS},
        {{"rescan", "-SYNC"}, SETUP_CM_REENUMERATE_ASYNCHRONOUS},
        {{"rescan", "-syn"}, SETUP_CM_REENUMERATE_ASYNCHRONOUS},
        {{"rescanner", "-sync"}, SETUP_CM_REENUMERATE_SYNCHRONOUS},
    };
    for (const RescanCase& c : cases) {
        simdev::Reset();
        tree().rootDevInst = 0x77;
        EXPECT_EQ(Run(c.args), 0);
        ASSERT_EQ(tree().cmCalls.size(), 2u);
        EXPECT_EQ(tree().cmCalls[0].what, "locate");
        EXPECT_FALSE(tree().cmCalls[0].deviceIdGiven);
        EXPECT_EQ(tree().cmCalls[0].flags, SETUP_CM_LOCATE_DEVNODE_NORMAL);
        EXPECT_EQ(tree().cmCalls[1].what, "reenumerate");
        EXPECT_EQ(tree().cmCalls[1].devInst, 0x77u);
        EXPECT_EQ(tree().cmCalls[1].flags, c.flags) << c.args.back();
    }
}

TEST_F(CommandLine, RescanFailsWhenEitherConfigurationManagerCallFails) {
    tree().cmLocateResult = SETUP_CR_FAILURE;
    EXPECT_EQ(Run({"rescan"}), 0);
    EXPECT_EQ(tree().console,
              std::string(kBanner) + "Enumerate Hardware changed fail \n\r" + kCountdown);
    EXPECT_EQ(tree().cmCalls.size(), 1u) << "no re-enumeration without the root";

    simdev::Reset();
    tree().cmReenumerateResult = SETUP_CR_FAILURE;
    EXPECT_EQ(Run({"rescan", "-sync"}), 0);
    EXPECT_EQ(tree().console,
              std::string(kBanner) + "Enumerate Hardware changed fail \n\r" + kCountdown);
}

struct StateLineCase {
    std::string command;
    std::string operand;
    bool listFails;
    std::string lines;
};

TEST_F(CommandLine, StateChangeCommandsPrintTheLineOfTheirFormAndResult) {
    const std::string ids = "change property => VendorID = 0x10B5, ProductID = 0x8748\n\r";
    const std::string pfa = "change property by PFA => PFA = 0x0300\n\r";
    const StateLineCase cases[] = {
        {"chgproperty", "PCI:0300", false, pfa + "change property by PFA success \n\r"},
        {"chgproperty", "PCI:0300", true, pfa + "change property by PFA fail \n\r"},
        {"chgproperty", "10B58748", false, ids + "change property success \n\r"},
        {"chgproperty", "10B58748", true, ids + "change property fail \n\r"},
        {"disable", "PCI:0300", false, pfa + "disable by PFA success \n\r"},
        {"disable", "PCI:0300", true, pfa + "disable by PFA fail \n\r"},
        {"disable", "10B58748", false, ids + "disable success \n\r"},
        {"disable", "10B58748", true, ids + "disable fail \n\r"},
        {"enable", "PCI:0300", false, pfa + "enable by PFA success \n\r"},
        {"enable", "PCI:0300", true, pfa + "enable by PFA fail \n\r"},
        {"enable", "10B58748", false, ids + "enabled success \n\r"},
        {"enable", "10B58748", true, ids + "enabled fail \n\r"},
        // The prefix is case-sensitive: "pci:" is an identifier operand.
        {"enable", "pci:0300", false,
         "change property => VendorID = 0x0000, ProductID = 0x0000\n\renabled success \n\r"},
    };
    for (const StateLineCase& c : cases) {
        simdev::Reset();
        if (c.listFails) {
            tree().failures[Call::GetClassDevs] = 0;
        }
        EXPECT_EQ(Run({c.command, c.operand}), 0) << "a failing command still exits with 0";
        EXPECT_EQ(tree().console, kBanner + c.lines + kCountdown) << c.command << ' ' << c.operand;
    }
}

TEST_F(CommandLine, StateChangeWithTwoOperandsDoesNothingButCountsDown) {
    simdev::AddDevice(simdev::PciDevice("PCI\\A", "PCI\\VEN_10B5&DEV_8748", 3, 0, 0));
    EXPECT_EQ(Run({"enable", "PCI:0300", "PCI:0400"}), 0);
    EXPECT_EQ(tree().console, std::string(kBanner) + kCountdown);
    EXPECT_TRUE(tree().getClassDevsCalls.empty());
    EXPECT_TRUE(tree().classInstallerCalls.empty());
}

TEST_F(CommandLine, RemoveWithAnUnknownClassNameEndsWithoutCountdown) {
    EXPECT_EQ(Run({"remove", "=NoSuchClass"}), 0);
    EXPECT_EQ(tree().console,
              std::string(kBanner) + "hwID=>=NoSuchClass\n\rretrieve Class GUID fail\n\r");
    EXPECT_TRUE(tree().sleeps.empty());
    EXPECT_TRUE(tree().getClassDevsCalls.empty());
}

TEST_F(CommandLine, RemoveWithAFailingClassLookupReturnsMinusOne) {
    tree().failures[Call::ClassGuidsFromName] = 0;
    EXPECT_EQ(Run({"remove", "=DiskDrive"}), -1);
    EXPECT_EQ(tree().console, std::string(kBanner) + "hwID=>=DiskDrive\n\rInvalid class name\n\r");
    EXPECT_TRUE(tree().sleeps.empty());
}

TEST_F(CommandLine, RemoveWithAClassNameSharedByTwoClassesFailsTheLookup) {
    tree().classes = {{"Twin", simdev::ParseGuid("{11111111-0000-0000-0000-000000000001}")},
                      {"Twin", simdev::ParseGuid("{11111111-0000-0000-0000-000000000002}")}};
    EXPECT_EQ(Run({"remove", "=Twin"}), -1);
    EXPECT_EQ(tree().console, std::string(kBanner) + "hwID=>=Twin\n\rInvalid class name\n\r");
}

TEST_F(CommandLine, RemoveWithAKnownClassNameRemovesThatClass) {
    SetupGuid disk = simdev::ParseGuid("{4d36e967-e325-11ce-bfc1-08002be10318}");
    tree().classes = {{"DiskDrive", disk}};
    simdev::Device d;
    d.instanceId = "SCSI\\DISK&VEN_X\\1";
    d.classGuid = disk;
    simdev::AddDevice(d);
    EXPECT_EQ(Run({"remove", "=diskdrive"}), 0);
    EXPECT_EQ(tree().console,
              std::string(kBanner) + "hwID=>=diskdrive\n\rDriver remove success \n\r" + kCountdown);
    ASSERT_EQ(tree().getClassDevsCalls.size(), 1u);
    ASSERT_TRUE(tree().getClassDevsCalls[0].classGuid);
    EXPECT_TRUE(simdev::SameGuid(*tree().getClassDevsCalls[0].classGuid, disk));
    EXPECT_EQ(tree().getClassDevsCalls[0].flags, SETUP_DIGCF_PRESENT);
    EXPECT_TRUE(tree().devices[0].removed);
}

TEST_F(CommandLine, RemoveAloneListsInstanceIdsWithTheDefaultHardwareId) {
    simdev::AddDevice(
        simdev::PciDevice("PCI\\VEN_8086&DEV_1234\\3&1", "PCI\\VEN_8086&DEV_1234", 0, 31, 0));
    simdev::AddDevice(simdev::PciDevice("ROOT\\SYSTEM\\0001", "ROOT\\SYS", 0, 0, 0));
    EXPECT_EQ(Run({"remove"}), 0);
    EXPECT_EQ(tree().console, std::string(kBanner) +
                                  "PCI\\VEN_8086&DEV_1234\\3&1\r\n"
                                  "ROOT\\SYSTEM\\0001\r\n"
                                  "Driver remove success \n\r" +
                                  kCountdown);
    EXPECT_TRUE(tree().classInstallerCalls.empty());
}

TEST_F(CommandLine, RemoveReportsFailureWhenNoDeviceListCanBeHad) {
    tree().failures[Call::GetClassDevs] = 0;
    EXPECT_EQ(Run({"remove", "PCI:3"}), 0);
    EXPECT_EQ(tree().console, std::string(kBanner) + "Driver remove fail \n\r" + kCountdown);
}

TEST_F(CommandLine, InstallPrintsItsResultOnTheBannerLine) {
    tree().files["C:\\work\\pkg\\sample.inf"] =
        "[Version]\nClass=System\nClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\n";
    EXPECT_EQ(Run({"install", "ROOT\\SAMPLEDEV", "pkg\\sample.inf", "ignored"}), 0);
    EXPECT_EQ(tree().console, std::string(kBanner) + "Driver install success \n\r" + kCountdown);

    simdev::Reset();
    EXPECT_EQ(Run({"install", "ROOT\\SAMPLEDEV", "missing.inf"}), 0);
    EXPECT_EQ(tree().console, std::string(kBanner) +
                                  "Driver install SetupDiGetINFClass() fail \n\r"
                                  "Driver install fail \n\r" +
                                  kCountdown);
}

}  // namespace
