// corvaxctl run in-process as a user runs it: its exit code, what it printed, and the JSON
// objects of standard output.
#ifndef CORVAXCTL_TESTS_RUN_CTL_H
#define CORVAXCTL_TESTS_RUN_CTL_H

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/corvaxctl/corvaxctl.h"

namespace corvaxctl {
namespace testing_run {

using Json = nlohmann::json;

struct Outcome {
    int code = 0;
    std::string out;
    std::string err;

    std::vector<Json> Objects() const {
        std::vector<Json> objects;
        std::istringstream lines(out);
        std::string line;
        while (std::getline(lines, line)) {
            objects.push_back(Json::parse(line));
        }
        return objects;
    }
    // The JSON object of the named command (the last one when it ran more than once).
    Json Command(const std::string& name) const {
        Json found;
        for (const Json& j : Objects()) {
            if (j.value("command", "") == name) {
                found = j;
            }
        }
        return found;
    }
    std::vector<std::string> ErrLines() const { return Lines(err); }
    std::vector<std::string> OutLines() const { return Lines(out); }

    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        return lines;
    }
};

inline Outcome Ctl(const std::vector<std::string>& args, const std::string& input = "",
                   const Environment& environment = Environment()) {
    std::istringstream in(input);
    std::ostringstream out, err;
    Outcome o;
    o.code = Run(args, in, out, err, environment);
    o.out = out.str();
    o.err = err.str();
    return o;
}

// The command line a Windows user has, on the host build's transport.
inline Outcome CtlAsWindows(const std::vector<std::string>& args, const std::string& input = "") {
    Environment windows;
    windows.simulated = false;
    return Ctl(args, input, windows);
}

inline std::string Example(const std::string& name) {
    return std::string(CORVAX_SOURCE_DIR) + "/examples/fabrics/" + name;
}

// The file names of every example machine, in name order.
inline std::vector<std::string> ExampleNames() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Example(""))) {
        if (entry.path().extension() == ".json") {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A test name for an example: "two-plx8732.json" gives "two_plx8732".
inline std::string ExampleTestName(const ::testing::TestParamInfo<std::string>& p) {
    std::string name = p.param.substr(0, p.param.find('.'));
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// A description written for one test.
inline std::string FabricFile(const std::string& name, const std::string& json) {
    const std::string path = ::testing::TempDir() + "/" + name;
    std::ofstream(path) << json;
    return path;
}

// The drives of a table or hotswap object, by address.
inline std::map<std::string, Json> DrivesOf(const Json& j) {
    std::map<std::string, Json> drives;
    for (const Json& d : j["drives"]) {
        drives[d["bdf"]] = d;
    }
    return drives;
}

}  // namespace testing_run
}  // namespace corvaxctl

#endif  // CORVAXCTL_TESTS_RUN_CTL_H
