// The cycle: twenty unattended cycles pass on every example machine with a full record; a slot
// whose link trains lower, whose link stays cut, whose drive comes back as another model or
// reports an error fails its verdict with the reason and the exit code says so, the other slots
// passing; the rules of the verdict, one by one, on headers made for them; and how a run ends.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>

#include "tests/corvaxctl/run_ctl.h"
#include "tools/corvaxctl/verdict.h"

namespace corvaxctl {
namespace {

using namespace testing_run;

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line)) {
        lines.push_back(line);
    }
    return lines;
}

// The judged slots of a cycle object by "S:P".
std::map<std::string, Json> Judged(const Json& cycle) {
    std::map<std::string, Json> slots;
    for (const Json& s : cycle["slots"]) {
        if (s["skipped"].is_null()) {
            slots[std::to_string(s["switch"].get<int>()) + ":" +
                  std::to_string(s["slot"].get<int>())] = s;
        }
    }
    return slots;
}

// ---- every example machine ----

class CycleOnEveryExample : public ::testing::TestWithParam<std::string> {};

TEST_P(CycleOnEveryExample, TwentyCyclesPassWithAFullRecord) {
    const std::string record = ::testing::TempDir() + "/cycle-" + GetParam() + ".csv";
    const Outcome o = Ctl(
        {"--fabric", Example(GetParam()), "--json", "cycle", "--count", "20", "--record", record});
    ASSERT_EQ(o.code, kExitOk) << o.err << o.out;
    const Json j = o.Command("cycle");
    EXPECT_EQ(j["result"], "passed");
    EXPECT_EQ(j["cycles_run"], 20);
    const std::map<std::string, Json> judged = Judged(j);
    ASSERT_FALSE(judged.empty());
    for (const auto& [place, s] : judged) {
        EXPECT_EQ(s["passed"], 20) << place;
        EXPECT_EQ(s["failed"], 0) << place;
        EXPECT_LE(s["answer_us"]["min"], s["answer_us"]["max"]) << place;
    }
    // Twenty rows of every slot that holds a drive, in cycle order, judged ones passing.
    const std::vector<std::string> rows = ReadLines(record);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(
        rows[0],
        "cycle,switch,slot,bdf,id,verdict,answer_ms,speed_gts,width,max_payload,errors,reason");
    std::map<std::string, int> perSlot;
    for (size_t i = 1; i < rows.size(); ++i) {
        const std::string& row = rows[i];
        const size_t a = row.find(','), b = row.find(',', a + 1), c = row.find(',', b + 1);
        const std::string place = row.substr(a + 1, b - a - 1) + ":" + row.substr(b + 1, c - b - 1);
        EXPECT_EQ(std::stoi(row.substr(0, a)), perSlot[place] + 1) << row;
        ++perSlot[place];
        if (judged.count(place)) {
            EXPECT_NE(row.find(",pass,"), std::string::npos) << row;
        } else {
            EXPECT_NE(row.find(",skipped,"), std::string::npos) << row;
        }
    }
    for (const auto& [place, count] : perSlot) {
        EXPECT_EQ(count, 20) << place;
    }
    for (const auto& [place, s] : judged) {
        EXPECT_EQ(perSlot[place], 20) << place;
    }
}

INSTANTIATE_TEST_SUITE_P(Examples, CycleOnEveryExample, ::testing::ValuesIn(ExampleNames()),
                         ExampleTestName);

// ---- a slot that fails ----

struct Failing {
    const char* name;
    std::string before;  // script lines before the cycle
    std::string slot;    // the slot that fails
    std::string reason;  // its first failure's reason
};

class FailingSlot : public ::testing::TestWithParam<Failing> {};

TEST_P(FailingSlot, FailsWithItsReasonTheOthersPass) {
    const Failing& c = GetParam();
    const std::string record = ::testing::TempDir() + "/failing-" + c.name + ".jsonl";
    const Outcome o =
        Ctl({"--json", "script", "-"}, c.before + "cycle --count 3 --record " + record + "\n");
    EXPECT_EQ(o.code, kExitSlotFailed) << o.err;
    const Json j = o.Command("cycle");
    EXPECT_EQ(j["result"], "failed");
    EXPECT_EQ(j["exit_code"], kExitSlotFailed);
    const std::map<std::string, Json> judged = Judged(j);
    ASSERT_EQ(judged.size(), 6u);
    for (const auto& [place, s] : judged) {
        if (place == c.slot) {
            EXPECT_EQ(s["failed"], 3) << place;
            EXPECT_EQ(s["first_failure"]["cycle"], 1);
            EXPECT_EQ(s["first_failure"]["reason"], c.reason);
        } else {
            EXPECT_EQ(s["passed"], 3) << place << s["first_failure"].dump();
        }
    }
    // The record holds the reason in every cycle, in JSON lines.
    unsigned failed = 0;
    for (const std::string& line : ReadLines(record)) {
        const Json row = Json::parse(line);
        if (row["verdict"] == "fail") {
            ++failed;
            EXPECT_EQ(std::to_string(row["switch"].get<int>()) + ":" +
                          std::to_string(row["slot"].get<int>()),
                      c.slot);
            EXPECT_EQ(row["reason"], c.reason);
        }
    }
    EXPECT_EQ(failed, 3u);
    // The text says it too.
    const Outcome text = Ctl({"script", "-"}, c.before + "cycle --count 1\n");
    EXPECT_EQ(text.code, kExitSlotFailed);
    EXPECT_NE(text.out.find("cycle 1: " + c.reason), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("1 of 6 slots failed their verdict"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailingSlot,
    ::testing::Values(
        Failing{"Downtrained", "sim downtrain 0:3 2.5 1\n", "0:3",
                "link 8 GT/s x4 before, 2.5 GT/s x1 now"},
        Failing{"Narrower", "sim downtrain 0:6 8 2\n", "0:6",
                "link 8 GT/s x4 before, 8 GT/s x2 now"},
        Failing{"Stuck", "sim stuck 0:3 on\n", "0:3",
                "did not answer within 2000 ms (the enable gave up on a link that did not come "
                "back in six passes)"},
        Failing{"AnotherModel", "sim replace 0:3 1f0a:0710\n", "0:3",
                "came back as 1f0a:0710, not 144d:a824, the drive of the driver's last update "
                "(after a swap, update records the new one)"},
        Failing{"AnErrorBit", "sim errors 0:4 correctable,unsupported\n", "0:4",
                "Device Status: correctable error, unsupported request"}),
    [](const ::testing::TestParamInfo<Failing>& p) { return std::string(p.param.name); });

TEST(Cycle, AReplacementTheEventsPutInIsExpected) {
    const Outcome o = Ctl({"--json", "cycle", "--count", "2", "replace", "0:1", "1f0a:0711"});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    const Json slot = Judged(o.Command("cycle")).at("0:1");
    EXPECT_EQ(slot["id"], "1f0a:0711");
    EXPECT_EQ(slot["passed"], 2);
}

TEST(Cycle, ASlotTheEventsEmptyIsNotWaitedFor) {
    // Slot 2's drive is of a vendor the driver does not restore; pulled, nothing is waited for
    // there: the wait ends with the slowest drive left (slot 4, 930 ms), not at --settle.
    const Outcome o = Ctl({"--json", "--stats", "cycle", "--count", "1", "pull", "0:2"});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    const Json j = o.Command("cycle");
    for (const Json& s : j["slots"]) {
        if (s["slot"] == 2) {
            EXPECT_EQ(s["skipped"],
                      "its vendor is missing from the accepted list: the driver "
                      "neither saves nor restores it (set-ids, then update, "
                      "accepts it)");
        }
    }
    // Down 1000 ms, the wait about 930 ms: well under the 2000 ms a silent slot would take.
    EXPECT_LT(j["stats"]["clock_us"].get<uint64_t>(), 2500000u);
}

// The guards of hotswap are the cycle's: a switch in a slot refuses the run unless forced; forced,
// the slot is waited for and shown, not judged, and the drives behind that switch, which only the
// system's enumeration brings back, fail theirs.
TEST(Cycle, KeepsHotswapsGuards) {
    const std::string fabric =
        std::string(CORVAX_SOURCE_DIR) + "/tests/corvaxctl/fabrics/switch-in-slot.json";
    const Outcome refused = Ctl({"--fabric", fabric, "cycle", "--count", "1"});
    EXPECT_EQ(refused.code, kExitUsage);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("slot 0:3 (08:00.0, 10b5:8748) holds a switch"), std::string::npos)
        << refused.err;
    const Outcome forced = Ctl({"--fabric", fabric, "--json", "cycle", "--count", "1", "--force"});
    EXPECT_EQ(forced.code, kExitSlotFailed) << forced.err;
    const Json cycle = forced.Command("cycle");
    for (const Json& s : cycle["slots"]) {
        const int sw = s["switch"], slot = s["slot"];
        if (sw == 0 && slot == 3) {
            EXPECT_EQ(s["skipped"], "a switch (10b5:8748) sits in the slot, not a drive");
        } else if (sw == 1) {
            EXPECT_EQ(s["failed"], 1) << s.dump();
        } else if (s["skipped"].is_null()) {
            EXPECT_EQ(s["passed"], 1) << s.dump();
        }
    }
}

TEST(Cycle, StopsAtTheFirstFailureWhenAsked) {
    const Outcome o =
        Ctl({"--json", "script", "-"}, "sim errors 0:0 fatal\ncycle --count 5 --stop-on-failure\n");
    EXPECT_EQ(o.code, kExitSlotFailed);
    const Json j = o.Command("cycle");
    EXPECT_EQ(j["cycles_run"], 1);
    EXPECT_EQ(j["stopped_on_failure"], true);
}

TEST(Cycle, ARecordThatCannotBeWrittenEndsTheRun) {
    // Refused before any link is cut when it cannot be opened ...
    const Outcome missing = Ctl({"cycle", "--record", "/nonexistent/run.csv"});
    EXPECT_EQ(missing.code, kExitUsage);
    EXPECT_NE(missing.err.find("cannot write the record '/nonexistent/run.csv': No such file"),
              std::string::npos)
        << missing.err;
    // ... and the run stops, the links back, when a cycle's rows cannot be written.
    const Outcome full =
        Ctl({"--json", "script", "-"}, "cycle --count 3 --record /dev/full\nsim read 04:08.0 78\n");
    EXPECT_EQ(full.code, kExitRunStopped);
    const Json j = full.Command("cycle");
    EXPECT_EQ(j["result"], "stopped");
    EXPECT_EQ(j["cycles_run"], 1);
    EXPECT_EQ(j["stopped"],
              "cannot write the record '/dev/full' in cycle 1: No space left on device");
    EXPECT_EQ(std::stoul(full.Command("sim read")["value"].get<std::string>(), nullptr, 16) & 0x10,
              0u);
}

TEST(Cycle, ShowsItsProgressOnATerminalAndRunsUnattendedOnWindows) {
    Environment terminal;
    terminal.terminal = true;
    const Outcome shown = Ctl({"cycle", "--count", "2"}, "", terminal);
    ASSERT_EQ(shown.code, kExitOk) << shown.err;
    EXPECT_NE(shown.err.find("\rcycle 1 of 2: 6 of 6 slots passed every cycle so far"),
              std::string::npos);
    EXPECT_NE(shown.err.find("\rcycle 2 of 2: "), std::string::npos);
    // The Windows command line: no Enter to wait for, no events, the same verdicts.
    const Outcome windows = CtlAsWindows({"--json", "cycle", "--count", "2"});
    ASSERT_EQ(windows.code, kExitOk) << windows.err;
    EXPECT_EQ(windows.Command("cycle")["result"], "passed");
    const Outcome events = CtlAsWindows({"cycle", "pull", "0:3"});
    EXPECT_EQ(events.code, kExitUsage);
    EXPECT_NE(events.err.find("cycle events act on the simulated machine"), std::string::npos);
}

// ---- the rules, one by one ----

// A drive's header as the client reads it: 8 GT/s x4, 256-byte payloads of 512 supported,
// BAR0 0xf7000000 decoding, no error bit; change what a case needs.
Bytes Header() {
    Bytes h(256, 0);
    const uint32_t dwords[][2] = {
        {0x00, 0x07101F0A}, {0x04, 0x00100006}, {0x08, 0x01080201}, {0x10, 0xF7000004},
        {0x34, 0x00000070}, {0x70, 0x00020010}, {0x74, 0x00008002}, {0x78, 0x00002830},
        {0x7C, 0x00074C43}, {0x80, 0x10430140},
    };
    for (const auto& [offset, value] : dwords) {
        std::memcpy(h.data() + offset, &value, 4);
    }
    return h;
}

struct Rule {
    const char* name;
    unsigned offset;  // a dword of the header after the cycle, and its new value
    uint32_t value;
    unsigned switchPayload;
    std::vector<std::string> reasons;
};

class VerdictRule : public ::testing::TestWithParam<Rule> {};

TEST_P(VerdictRule, Holds) {
    const Rule& c = GetParam();
    SlotExpectation expected;
    expected.id = 0x07101F0A;
    expected.before = StateOf(Header());
    expected.switchPayload = c.switchPayload;
    Bytes after = Header();
    if (c.offset != 0 || c.value != 0) {
        std::memcpy(after.data() + c.offset, &c.value, 4);
    }
    SlotReturn got;
    got.answered = true;
    got.after = StateOf(after);
    const Verdict v = Judge(expected, got);
    EXPECT_EQ(v.reasons, c.reasons);
    EXPECT_EQ(v.passed, c.reasons.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VerdictRule,
    ::testing::Values(
        Rule{"AsBefore", 0, 0, 256, {}},
        Rule{"WiderOrFasterIsNoFailure", 0x80, 0x10440140, 256, {}},
        Rule{"Slower", 0x80, 0x10420140, 256, {"link 8 GT/s x4 before, 5 GT/s x4 now"}},
        Rule{"NoMemoryAddress",
             0x10,
             0x00000004,
             256,
             {"no memory address after the restore (BAR0 unassigned)"}},
        Rule{"AnotherAddress", 0x10, 0xF7100004, 256, {"BAR0 0xf7000000 before, 0xf7100000 now"}},
        Rule{"MemoryDecodingOff",
             0x04,
             0x00100004,
             256,
             {"memory decoding off after the restore (Command register bit 1 clear)"}},
        Rule{"PayloadBelowTheSwitchs",
             0x78,
             0x00002810,
             256,
             {"Max_Payload_Size 128 bytes, not 256 (the switch's 256, the drive supports 512)"}},
        // The drive supports less than the switch runs: the smaller is right, more is wrong.
        Rule{"PayloadAtWhatTheDriveSupports", 0x78, 0x00002850, 1024, {}},
        Rule{"PayloadAboveWhatTheDriveSupports",
             0x78,
             0x00002870,
             1024,
             {"Max_Payload_Size 1024 bytes, not 512 (the switch's 1024, the drive supports "
              "512)"}},
        Rule{"AFatalError", 0x78, 0x00042830, 256, {"Device Status: fatal error"}},
        Rule{"AnotherDrive",
             0x00,
             0x0A548086,
             256,
             {"came back as 8086:0a54, not 1f0a:0710, the drive of the driver's last update "
              "(after a swap, update records the new one)"}},
        // Several at once: each is named, in order.
        Rule{"AWrongPayloadAndAnError",
             0x78,
             0x00012810,
             256,
             {"Max_Payload_Size 128 bytes, not 256 (the switch's 256, the drive supports 512)",
              "Device Status: correctable error"}}),
    [](const ::testing::TestParamInfo<Rule>& p) { return std::string(p.param.name); });

TEST(VerdictRule, WhatDidNotAnswerOrReadNothing) {
    SlotExpectation expected;
    expected.id = 0x07101F0A;
    SlotReturn silent;
    silent.waitedUs = 2000000;
    silent.enableGaveUp = false;
    EXPECT_EQ(Judge(expected, silent).reasons,
              std::vector<std::string>{"did not answer within 2000 ms"});
    SlotReturn unread;
    unread.answered = true;
    unread.after = StateOf(Bytes(256, 0xFF));
    EXPECT_FALSE(unread.after);
    EXPECT_EQ(Judge(expected, unread).reasons,
              std::vector<std::string>{
                  "answered the wait but its header could not be read after the restore"});
    EXPECT_FALSE(StateOf(Bytes(256, 0)));  // the driver had nothing recorded there
}

}  // namespace
}  // namespace corvaxctl
