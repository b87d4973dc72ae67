// corvaxctl: the verdict on a slot after a link cycle.
#include "tools/corvaxctl/verdict.h"

#include <algorithm>
#include <cstring>

#include "tools/corvaxctl/output.h"

namespace corvaxctl {

std::optional<DriveState> StateOf(const Bytes& header) {
    if (header.size() < CORVAX_CONFIG_SIZE) {
        return std::nullopt;
    }
    uint32_t id = 0;
    std::memcpy(&id, header.data(), 4);
    // All-ones: nothing answers; zeros: the driver has no drive recorded there.
    if (id == 0xFFFFFFFF || id == 0) {
        return std::nullopt;
    }
    DriveState s;
    s.id = id;
    const ConfigSummary summary = DecodeConfig(header);
    s.bar0 = summary.bar0Io ? 0 : summary.bar0;
    s.memoryDecoding = (header[0x04] & 0x02) != 0;
    s.express = DecodePciExpress(header);
    return s;
}

Verdict Judge(const SlotExpectation& expected, const SlotReturn& got) {
    Verdict v;
    auto fail = [&v](const std::string& reason) {
        v.passed = false;
        v.reasons.push_back(reason);
    };
    if (!got.answered) {
        fail("did not answer within " + std::to_string(got.waitedUs / 1000) + " ms" +
             (got.enableGaveUp ? " (the enable gave up on a link that did not come back in six "
                                 "passes)"
                               : ""));
        return v;
    }
    if (!got.after) {
        fail("answered the wait but its header could not be read after the restore");
        return v;
    }
    const DriveState& now = *got.after;
    if (now.id != expected.id) {
        fail("came back as " + IdText(now.id) + ", not " + IdText(expected.id) +
             (expected.idFromEvents ? ", the drive the events put in"
                                    : ", the drive of the driver's last update (after a swap, "
                                      "update records the new one)"));
        return v;  // another drive: nothing else compares
    }
    if (now.bar0 == 0) {
        fail("no memory address after the restore (BAR0 unassigned)");
    } else if (expected.before && expected.before->bar0 != 0 && now.bar0 != expected.before->bar0) {
        fail("BAR0 " + ShortHex(expected.before->bar0) + " before, " + ShortHex(now.bar0) + " now");
    } else if (!now.memoryDecoding) {
        fail("memory decoding off after the restore (Command register bit 1 clear)");
    }
    if (!now.express) {
        return v;  // no PCI Express capability: no link, payload or error bits to read
    }
    const PciExpress& e = *now.express;
    if (expected.before && expected.before->express) {
        const PciExpress& b = *expected.before->express;
        if (e.speed < b.speed || e.width < b.width) {
            fail("link " + LinkText(b.speed, b.width) + " before, " + LinkText(e.speed, e.width) +
                 " now");
        }
    }
    if (expected.switchPayload != 0) {
        const unsigned want = std::min(expected.switchPayload, e.maxPayloadSupported);
        if (e.maxPayload != want) {
            fail("Max_Payload_Size " + std::to_string(e.maxPayload) + " bytes, not " +
                 std::to_string(want) + " (the switch's " + std::to_string(expected.switchPayload) +
                 ", the drive supports " + std::to_string(e.maxPayloadSupported) + ")");
        }
    }
    if (e.errors.Any()) {
        fail("Device Status: " + e.errors.Text());
    }
    return v;
}

}  // namespace corvaxctl
