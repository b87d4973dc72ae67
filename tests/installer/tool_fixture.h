// Shared setup of the tool's tests: a fresh simulated tree per test, a way to run the whole
// program with a command line, and a check that no set or module is left open.
#ifndef TESTS_INSTALLER_TOOL_FIXTURE_H
#define TESTS_INSTALLER_TOOL_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_tree.h"
#include "tolvane.h"

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override { simdev::Reset(); }
    void TearDown() override {
        EXPECT_EQ(simdev::Tree().openSets, 0) << "a device information set was left open";
        EXPECT_EQ(simdev::Tree().openModules, 0) << "newdev.dll was left loaded";
    }

    simdev::World& tree() { return simdev::Tree(); }

    // Runs the program as "tolvane.exe args..." and returns its exit code.
    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), "C:\\tools\\tolvane.exe");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        return tolvane::RunTolvane(static_cast<int>(args.size()), argv.data());
    }

    // The states (DICS_*) sent with DIF_PROPERTYCHANGE to one device, in order.
    std::vector<uint32_t> StatesSentTo(const std::string& instanceId) {
        std::vector<uint32_t> states;
        for (const simdev::ClassInstallerCall& call : tree().classInstallerCalls) {
            if (call.instanceId == instanceId && call.installFunction == SETUP_DIF_PROPERTYCHANGE &&
                call.params) {
                states.push_back(call.params->stateChange);
            }
        }
        return states;
    }
};

constexpr const char* kBanner = "Tolvane Version:1.0.0.0";
constexpr const char* kCountdown =
    "application will close after 5 seconds\r"
    "application will close after 4 seconds\r"
    "application will close after 3 seconds\r"
    "application will close after 2 seconds\r"
    "application will close after 1 seconds\r";

#endif  // TESTS_INSTALLER_TOOL_FIXTURE_H
