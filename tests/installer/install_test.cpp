// "install": the device node, its hardware ID, registration, and the driver update, with each
// step failing in turn.
#include <functional>

#include "tool_fixture.h"

namespace {

using simdev::Call;

constexpr const char* kInf =
    "; test package\n"
    "[Version]\n"
    "Signature=\"$WINDOWS NT$\"\n"
    "Class = System ; the class\n"
    "ClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\n"
    "[Manufacturer]\n"
    "Class=NotThisOne\n";
constexpr const char* kFullInf = "C:\\work\\pkg\\sample.inf";
constexpr const char* kHardwareId = "ROOT\\SAMPLEDEV";

class InstallCommand : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        tree().files[kFullInf] = kInf;
    }
    int RunInstall(const std::string& hardwareId = kHardwareId) {
        return Run({"install", hardwareId, "pkg\\sample.inf"});
    }
    size_t RegisteredDevices() {
        size_t count = 0;
        for (const simdev::Device& d : tree().devices) {
            count += d.registered ? 1 : 0;
        }
        return count;
    }
};

TEST_F(InstallCommand, CreatesRegistersAndUpdatesARootDeviceOfTheInfsClass) {
    EXPECT_EQ(RunInstall(), 0);
    EXPECT_EQ(tree().console, std::string(kBanner) + "Driver install success \n\r" + kCountdown);

    EXPECT_EQ(tree().infClassRequests, std::vector<std::string>{kFullInf});
    EXPECT_EQ(tree().createdDeviceNames, std::vector<std::string>{"System"});
    EXPECT_EQ(tree().createFlags, std::vector<uint32_t>{SETUP_DICD_GENERATE_ID});
    const simdev::Device* node = simdev::FindDevice("ROOT\\SYSTEM\\0000");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->hardwareIds, std::vector<std::string>{kHardwareId});
    EXPECT_TRUE(simdev::SameGuid(node->classGuid,
                                 simdev::ParseGuid("{4d36e97d-e325-11ce-bfc1-08002be10318}")));

    ASSERT_EQ(tree().propertyWrites.size(), 1u);
    EXPECT_EQ(tree().propertyWrites[0].property, SETUP_SPDRP_HARDWAREID);
    const std::string list("ROOT\\SAMPLEDEV\0\0", 16);
    EXPECT_EQ(
        std::string(tree().propertyWrites[0].bytes.begin(), tree().propertyWrites[0].bytes.end()),
        list);

    ASSERT_EQ(tree().classInstallerCalls.size(), 1u);
    EXPECT_EQ(tree().classInstallerCalls[0].installFunction, SETUP_DIF_REGISTERDEVICE);

    // Both operations resolve the path as typed, against the current directory.
    EXPECT_EQ(tree().fullPathRequests,
              (std::vector<std::string>{"pkg\\sample.inf", "pkg\\sample.inf"}));
    EXPECT_EQ(tree().attributeRequests, std::vector<std::string>{kFullInf});
    EXPECT_EQ(tree().loadedModules, std::vector<std::string>{"newdev.dll"});
    EXPECT_EQ(tree().procRequests, std::vector<std::string>{"UpdateDriverForPlugAndPlayDevicesA"});
    ASSERT_EQ(tree().updateCalls.size(), 1u);
    EXPECT_EQ(tree().updateCalls[0].hardwareId, kHardwareId);
    EXPECT_EQ(tree().updateCalls[0].fullInfPath, kFullInf);
    EXPECT_EQ(tree().updateCalls[0].installFlags, SETUP_INSTALLFLAG_FORCE);
    EXPECT_TRUE(tree().updateCalls[0].rebootFlagGiven);
    EXPECT_EQ(tree().updateCalls[0].rebootFlagBefore, 0);
}

TEST_F(InstallCommand, RunningTwiceCreatesASecondNode) {
    EXPECT_EQ(RunInstall(), 0);
    EXPECT_EQ(RunInstall(), 0);
    EXPECT_NE(simdev::FindDevice("ROOT\\SYSTEM\\0000"), nullptr);
    EXPECT_NE(simdev::FindDevice("ROOT\\SYSTEM\\0001"), nullptr);
}

TEST_F(InstallCommand, RebootRequestChangesNothing) {
    tree().updateAsksReboot = true;
    EXPECT_EQ(RunInstall(), 0);
    EXPECT_EQ(tree().console, std::string(kBanner) + "Driver install success \n\r" + kCountdown);
}

TEST_F(InstallCommand, LongHardwareIdIsRegisteredCutWhileTheUpdateGetsItWhole) {
    const std::string longId = "ROOT\\" + std::string(300, 'Q');
    EXPECT_EQ(RunInstall(longId), 0);
    ASSERT_EQ(tree().propertyWrites.size(), 1u);
    const std::vector<uint8_t>& bytes = tree().propertyWrites[0].bytes;
    ASSERT_EQ(bytes.size(), 258u) << "256 characters, terminator, empty string";
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 256), longId.substr(0, 256));
    EXPECT_EQ(bytes[256], 0);
    EXPECT_EQ(bytes[257], 0);
    ASSERT_EQ(tree().updateCalls.size(), 1u);
    EXPECT_EQ(tree().updateCalls[0].hardwareId, longId);
}

TEST_F(InstallCommand, FullPathOfTwoHundredSixtyCharactersFails) {
    // "C:\work\" is 8 characters; 251 more make 259, which fits with its terminator.
    const std::string fits(251, 'a');
    tree().files["C:\\work\\" + fits] = kInf;
    EXPECT_EQ(Run({"install", kHardwareId, fits}), 0);
    EXPECT_EQ(tree().console, std::string(kBanner) + "Driver install success \n\r" + kCountdown);

    simdev::Reset();
    EXPECT_EQ(Run({"install", kHardwareId, fits + "b"}), 0);
    EXPECT_EQ(tree().console, std::string(kBanner) +
                                  "Driver install GetFullPathName() fail \n\r"
                                  "Driver install fail \n\r" +
                                  kCountdown);
    EXPECT_TRUE(tree().infClassRequests.empty());
}

struct ClassNameCase {
    size_t length;
    std::string lines;
    bool installed;
};

TEST_F(InstallCommand, ClassNameMustFitThirtyTwoCharactersWithItsTerminator) {
    const ClassNameCase cases[] = {
        {31, "Driver install success \n\r", true},
        {32, "Driver install SetupDiGetINFClass() fail \n\rDriver install fail \n\r", false},
    };
    for (const ClassNameCase& c : cases) {
        simdev::Reset();
        const std::string className = "Tolvane" + std::string(c.length - 7, 'C');
        tree().files[kFullInf] = "[Version]\nClass=" + className +
                                 "\nClassGuid={6b2a3f0e-5c1d-4e7a-9b8c-2d4f6a1e3c50}\n";
        EXPECT_EQ(RunInstall(), 0) << c.length;
        EXPECT_EQ(tree().console, kBanner + c.lines + kCountdown) << c.length;
        if (c.installed) {
            // The node is named after the whole class name, not a cut copy of it.
            EXPECT_EQ(tree().createdDeviceNames, std::vector<std::string>{className});
            const simdev::Device* node =
                simdev::FindDevice("ROOT\\TOLVANE" + std::string(c.length - 7, 'C') + "\\0000");
            ASSERT_NE(node, nullptr) << c.length;
            EXPECT_EQ(node->hardwareIds, std::vector<std::string>{kHardwareId});
            EXPECT_EQ(tree().updateCalls.size(), 1u);
        } else {
            EXPECT_TRUE(tree().createdDeviceNames.empty()) << "no element without a class";
            EXPECT_TRUE(tree().devices.empty());
            EXPECT_TRUE(tree().updateCalls.empty());
        }
    }
}

struct StepCase {
    const char* name;
    std::function<void(simdev::World&)> arrange;
    std::string messages;
    bool nodeLeft;
};

TEST_F(InstallCommand, EachFailingStepPrintsItsOwnMessageBeforeTheFailLine) {
    const StepCase cases[] = {
        {"full path", [](simdev::World& w) { w.failures[Call::GetFullPathName] = 1; },
         "Driver install GetFullPathName() fail \n\r", false},
        {"inf class", [](simdev::World& w) { w.failures[Call::GetInfClass] = 0; },
         "Driver install SetupDiGetINFClass() fail \n\r", false},
        {"missing inf", [](simdev::World& w) { w.files.clear(); },
         "Driver install SetupDiGetINFClass() fail \n\r", false},
        {"info list", [](simdev::World& w) { w.failures[Call::CreateDeviceInfoList] = 0; },
         "Driver install SetupDiCreateDeviceInfoList() fail \n\r", false},
        {"info element", [](simdev::World& w) { w.failures[Call::CreateDeviceInfo] = 0; },
         "Driver install SetupDiCreateDeviceInfo() fail \n\r", false},
        {"hardware id", [](simdev::World& w) { w.failures[Call::SetDeviceProperty] = 0; },
         "Driver install SetupDiSetDeviceRegistryProperty() fail \n\r", false},
        {"register", [](simdev::World& w) { w.failures[Call::CallClassInstaller] = 0; },
         "Driver install SetupDiCallClassInstaller() fail \n\r", false},
        {"update full path", [](simdev::World& w) { w.failures[Call::GetFullPathName] = 2; },
         "Driver update GetFullPathName() fail \n\r", true},
        {"attributes", [](simdev::World& w) { w.failures[Call::GetFileAttributes] = 0; },
         "Driver update GetFileAttributes() fail \n\r", true},
        {"newdev", [](simdev::World& w) { w.newdevLoadable = false; }, "", true},
        {"proc", [](simdev::World& w) { w.updateFunctionPresent = false; },
         "Driver update GetProcAddress() fail \n\r", true},
        {"update", [](simdev::World& w) { w.updateResult = false; },
         "Driver update UpdateFn() fail \n\r", true},
    };
    for (const StepCase& c : cases) {
        simdev::Reset();
        tree().files[kFullInf] = kInf;
        c.arrange(tree());
        EXPECT_EQ(RunInstall(), 0) << c.name;
        EXPECT_EQ(tree().console, kBanner + c.messages + "Driver install fail \n\r" + kCountdown)
            << c.name;
        // A registered node stays after a failed update; an unregistered element goes with
        // its set.
        EXPECT_EQ(RegisteredDevices(), c.nodeLeft ? 1u : 0u) << c.name;
        EXPECT_TRUE(tree().devices.size() == RegisteredDevices()) << c.name;
        EXPECT_EQ(tree().openSets, 0) << c.name;
        EXPECT_EQ(tree().openModules, 0) << c.name;
    }
}

}  // namespace
