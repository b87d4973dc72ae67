// The fabric remembers where the last configuration and memory accesses went. Whatever changes
// what decodes where (a BAR, the command register, a bus number, link control, a drive pulled
// or replaced, an on-board drive removed) must be seen by the very next access, even one to an
// address that was just read; and where two devices decode the same addresses, the order of
// the claim decides every access, not whichever device was reached last.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "fabric_test_util.h"

namespace sim {
namespace {

using test::EcamAddress;
using test::PortRead;
using test::PortWrite;

constexpr uint32_t kCapLow = 0x280103FF;  // what BAR0 + 0 of every drive answers
constexpr uint64_t kSlot0Bar = 0xF7000000;
constexpr uint64_t kOnboardBar = 0xF7F00000;
constexpr unsigned kSlot0Port = 8;  // device of slot 0's port on the 8748's internal bus 4

struct RouteCase {
    const char* what;
    uint64_t address;  // read before and after the change
    bool window;       // a configuration read through the window, else device memory
    uint32_t before;
    uint32_t after;
    std::function<void(Fabric&)> change;
};

TEST(Routes, TheAccessAfterAChangeGoesWhereTheChangeSays) {
    const RouteCase cases[] = {
        {"BAR0 moved through the window", kSlot0Bar, false, kCapLow, 0xFFFFFFFF,
         [](Fabric& f) { f.WritePhysical(EcamAddress(5, 0, 0, 0x10), 4, 0xF7100000); }},
        {"BAR0 moved through the ports", kSlot0Bar, false, kCapLow, 0xFFFFFFFF,
         [](Fabric& f) { PortWrite(f, 5, 0, 0, 0x10, 0xF7100000); }},
        {"memory decoding turned off", kSlot0Bar, false, kCapLow, 0xFFFFFFFF,
         [](Fabric& f) { PortWrite(f, 5, 0, 0, 0x04, 0x00000000); }},
        {"drive pulled (memory)", kSlot0Bar, false, kCapLow, 0xFFFFFFFF,
         [](Fabric& f) { f.Pull(0, 0); }},
        {"link disabled (memory)", kSlot0Bar, false, kCapLow, 0xFFFFFFFF,
         [](Fabric& f) { PortWrite(f, 4, kSlot0Port, 0, 0x78, 0x00000010); }},
        {"on-board drive removed", kOnboardBar, false, kCapLow, 0xFFFFFFFF,
         [](Fabric& f) { f.RemoveOnboard(1); }},
        {"drive pulled (header)", EcamAddress(5, 0, 0, 0), true, 0x07101F0A, 0xFFFFFFFF,
         [](Fabric& f) { f.Pull(0, 0); }},
        {"drive replaced", EcamAddress(5, 0, 0, 0), true, 0x07101F0A, 0xA808144D,
         [](Fabric& f) { f.Replace(0, 0, DriveDescription::Make(0x144D, 0xA808)); }},
        {"link disabled (header)", EcamAddress(5, 0, 0, 0), true, 0x07101F0A, 0xFFFFFFFF,
         [](Fabric& f) { PortWrite(f, 4, kSlot0Port, 0, 0x78, 0x00000010); }},
        {"secondary bus renumbered", EcamAddress(5, 0, 0, 0), true, 0x07101F0A, 0xFFFFFFFF,
         [](Fabric& f) {
             const uint32_t buses = PortRead(f, 4, kSlot0Port, 0, 0x18);
             PortWrite(f, 4, kSlot0Port, 0, 0x18, (buses & 0xFF0000FFu) | 0x00090900u);
         }},
    };
    for (const RouteCase& c : cases) {
        SCOPED_TRACE(c.what);
        Fabric f(test::SmallMachine());
        for (int pass = 0; pass < 2; ++pass) {  // the second read is the remembered route
            EXPECT_EQ(f.ReadPhysical(c.address, 4), c.before);
        }
        c.change(f);
        EXPECT_EQ(f.ReadPhysical(c.address, 4), c.after);
    }
}

TEST(Routes, WhatMovedAnswersAtItsNewPlace) {
    Fabric f(test::SmallMachine());
    EXPECT_EQ(f.ReadPhysical(kSlot0Bar, 4), kCapLow);
    f.WritePhysical(EcamAddress(5, 0, 0, 0x10), 4, 0xF7100000);
    EXPECT_EQ(f.ReadPhysical(0xF7100000, 4), kCapLow);

    EXPECT_EQ(f.ReadPhysical(EcamAddress(5, 0, 0, 0), 4), 0x07101F0Au);
    const uint32_t buses = PortRead(f, 4, kSlot0Port, 0, 0x18);
    PortWrite(f, 4, kSlot0Port, 0, 0x18, (buses & 0xFF0000FFu) | 0x00090900u);
    EXPECT_EQ(f.ReadPhysical(EcamAddress(9, 0, 0, 0), 4), 0x07101F0Au);
}

TEST(Routes, OverlappingDevicesAreDecidedByTheClaimOrderEveryTime) {
    Fabric f(test::SmallMachine());
    // The on-board drive (claimed first) moves into the upper half of slot 1's 32 KiB BAR0;
    // its MSI-X table (at 0x3000) then sits where slot 1's drive has controller registers.
    PortWrite(f, 1, 0, 0, 0x10, 0xF7104000);
    const uint64_t onboardTable = 0xF7104000 + 0x3000;
    ASSERT_TRUE(f.PokePhysical(onboardTable, 0x5A5A0001));
    const uint64_t slot1Bar = 0xF7100000;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(f.ReadPhysical(slot1Bar, 4), kCapLow);  // only slot 1's drive decodes here
        EXPECT_EQ(f.ReadPhysical(onboardTable, 4), 0x5A5A0001u);
        EXPECT_EQ(f.ReadPhysical(slot1Bar + 4, 4), f.PeekDriveBar0(6, 4));
    }
}

TEST(SingleThreadedFabric, AnotherThreadTouchingItAbortsTheRun) {
    EXPECT_DEATH(
        {
            Fabric f(test::SmallMachine());
            f.SetSingleThreaded(true);
            f.ReadPhysical(kSlot0Bar, 4);
            std::thread other([&f] { f.ReadPhysical(kSlot0Bar, 4); });
            other.join();
        },
        "promised to one thread");
}

TEST(SingleThreadedFabric, WithoutThePromiseThreadsShareIt) {
    Fabric f(test::SmallMachine());
    f.SetSingleThreaded(true);
    f.SetSingleThreaded(false);
    uint32_t seen = 0;
    std::thread other([&] { seen = f.ReadPhysical(kSlot0Bar, 4); });
    other.join();
    EXPECT_EQ(seen, kCapLow);
}

// A rebalance moves what memory reaches: the drive answers at its new place, its old one is
// nobody's, and a placement the system never makes is refused with nothing changed.
TEST(Routes, ARebalanceMovesTheDriveAndTheWindowsAboveIt) {
    Fabric f(test::SmallMachine());
    f.MoveSlot(0, 0, 0xF7300000);
    EXPECT_EQ(f.ReadPhysical(0xF7300000, 4), kCapLow);
    EXPECT_EQ(f.ReadPhysical(kSlot0Bar, 4), 0xFFFFFFFFu);
    EXPECT_EQ(f.PeekConfig(4, kSlot0Port, 0, 0x20), 0xF730F730u);  // the port's window
    EXPECT_EQ(f.PeekConfig(3, 0, 0, 0x20), 0xF730F710u);           // the upstream port's
    const struct {
        const char* what;
        std::function<void()> move;
    } refused[] = {
        {"into slot 1's window", [&] { f.MoveSlot(0, 0, 0xF7100000); }},
        {"the on-board drive into the switch's window", [&] { f.MoveFunction(1, 0xF7200000); }},
        {"the on-board drive into RAM", [&] { f.MoveFunction(1, 0x7FF00000); }},
        {"the switch's BAR0 into its own window", [&] { f.MoveFunction(3, 0xF7100000); }},
        {"an empty slot", [&] { f.MoveSlot(0, 2, 0xF7500000); }},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        EXPECT_THROW(r.move(), std::logic_error);
        EXPECT_EQ(f.ReadPhysical(0xF7300000, 4), kCapLow);
        EXPECT_EQ(f.DecodeOverlaps(), std::vector<std::string>{});
    }
    // While the link is down the drive keeps what it had (the writes go nowhere); the windows
    // move all the same.
    PortWrite(f, 4, kSlot0Port, 0, 0x78, reg::kLinkDisable);
    f.MoveSlot(0, 0, 0xF7500000);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x10) & ~0xFu, 0xF7300000u);
    EXPECT_EQ(f.PeekConfig(4, kSlot0Port, 0, 0x20), 0xF750F750u);
}

}  // namespace
}  // namespace sim
