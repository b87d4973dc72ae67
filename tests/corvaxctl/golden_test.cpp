// Golden runs of `corvaxctl script` on the example machines: the whole output, byte for byte,
// against the files checked in next to the scripts. CORVAXCTL_UPDATE_GOLDEN=1 rewrites them;
// read the difference before committing it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include <unistd.h>

#include "tools/corvaxctl/corvaxctl.h"

namespace corvaxctl {
namespace {

struct Golden {
    const char* name;    // golden/<name>.script and golden/<name>.expected
    const char* fabric;  // examples/fabrics/<fabric>.json
    std::vector<std::string> flags;
};

std::string Slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The registry dump prints where the save areas of each slot live: addresses inside the device
// extension, which the host's allocator places anew in every process. They are the only values
// that differ from run to run, so they are blanked here.
std::string Normalised(const std::string& text) {
    static const std::regex kSaveArea(
        "((ConfigTable|MsiTable) +:)0x[0-9A-F]{16}\\(0x[0-9A-F]{16}\\)");
    static const std::regex kOnboardArea("((ConfigTable|MsiTable) +:)0x[0-9A-F]{16}");
    return std::regex_replace(std::regex_replace(text, kSaveArea, "$1<address>(<address>)"),
                              kOnboardArea, "$1<address>");
}

class GoldenRun : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenRun, MatchesTheCheckedInOutput) {
    const Golden& g = GetParam();
    // Paths relative to the source tree, so that the output does not depend on the checkout.
    ASSERT_EQ(chdir(CORVAX_SOURCE_DIR), 0);
    const std::string dir = "tests/corvaxctl/golden/";
    std::vector<std::string> args = {"--fabric",
                                     std::string("examples/fabrics/") + g.fabric + ".json"};
    args.insert(args.end(), g.flags.begin(), g.flags.end());
    args.push_back("script");
    args.push_back(dir + g.name + ".script");

    std::istringstream in;
    std::ostringstream out, err;
    const int code = corvaxctl::Run(args, in, out, err);
    // Exit code and standard error belong to the record too.
    const std::string actual = Normalised(out.str()) + "-- exit " + std::to_string(code) + "\n" +
                               "-- stderr\n" + err.str();
    const std::string expectedPath = dir + g.name + ".expected";
    if (std::getenv("CORVAXCTL_UPDATE_GOLDEN")) {
        std::ofstream(expectedPath, std::ios::binary) << actual;
    }
    EXPECT_EQ(actual, Slurp(expectedPath)) << "rerun with CORVAXCTL_UPDATE_GOLDEN=1 to see it";
}

INSTANTIATE_TEST_SUITE_P(
    Examples, GoldenRun,
    ::testing::Values(Golden{"plx8748", "plx8748", {}},
                      Golden{"two-plx8732", "two-plx8732", {"--json", "--stats"}},
                      Golden{"plx8618", "plx8618", {}},
                      Golden{"amd-host", "amd-host", {"--json", "--log"}},
                      Golden{"workstation-images", "workstation-images", {}},
                      Golden{"xeon-images", "xeon-images", {"--json", "--stats", "--load-event"}}),
    [](const ::testing::TestParamInfo<Golden>& p) {
        std::string name = p.param.name;
        for (char& c : name) {
            if (c == '-') {
                c = '_';
            }
        }
        return name;
    });

}  // namespace
}  // namespace corvaxctl
