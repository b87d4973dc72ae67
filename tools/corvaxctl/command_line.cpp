// corvaxctl: commands and their operands as CLI11 sees them.
#include "tools/corvaxctl/command_line.h"

#include <sstream>

#include <CLI/CLI.hpp>

namespace corvaxctl {
namespace {

CLI::App* Plain(CLI::App& app, const std::string& name, const std::string& description) {
    return app.add_subcommand(name, description);
}

void AddWaitOptions(CLI::App* command, Command& c) {
    command->add_option("--settle", c.settleMs,
                        "the longest wait in ms (default 2000: training and the second a drive "
                        "may take)");
    command->add_option("--train-ms", c.trainMs,
                        "the link training time to allow for before the first read, in ms "
                        "(default 100); reads start 100 ms after it");
    command->add_option("--expect", c.expect,
                        "SWITCH:SLOT,... further slots to wait for (switch record as `switches` "
                        "numbers it, slot index), e.g. drives inserted into empty slots");
}

}  // namespace

void AddCommands(CLI::App& app, Command& c, bool withScript) {
    app.require_subcommand(1);

    Plain(app, "version", "driver version (CORVAX_GET_VERSION)");
    Plain(app, "count", "number of drives (CORVAX_QUERY)");
    Plain(app, "model", "switch model present (CORVAX_QUERY_8618)");
    Plain(app, "on-bridge", "whether a function sits behind a switch (CORVAX_ON_BRIDGE)")
        ->add_option("PFA", c.first, "bus:device.function or hexadecimal PFA")
        ->required();
    Plain(app, "table", "drive table (CORVAX_GET_TABLE)");
    Plain(app, "switches", "the three switch records, original and current slots (PLX_QUERY_PCI)");
    Plain(app, "bitmap",
          "slots answering at their recorded address, per switch (CORVAX_GET_BITMAP)");
    Plain(app, "config", "256-byte configuration header of a drive (CORVAX_READ_CONFIG)")
        ->add_option("PFA", c.first, "bus:device.function or hexadecimal PFA")
        ->required();
    Plain(app, "update", "scan the topology again from scratch (CORVAX_UPDATE)");
    Plain(app, "rescan", "look at the switches' slots again (CORVAX_RESCAN)");
    Plain(app, "restore", "rescan, then write saved headers back (CORVAX_RESCAN_RESTORE)");
    Plain(app, "disable", "cut the link of every switch port (CORVAX_DISABLE_BRIDGE)")
        ->add_flag("--force", c.force,
                   "cut them even when Windows keeps its directory or a page file behind a switch");
    Plain(app, "enable", "bring every switch port's link back (CORVAX_ENABLE_BRIDGE)");
    CLI::App* led = Plain(app, "led", "set the LED field of one drive's port (CORVAX_SET_LED)");
    led->add_option("PFA", c.first, "the drive, as the last update recorded it")->required();
    led->add_option("TYPE", c.second, "0-3, or on (1), blink (2), off (3)")->required();
    Plain(app, "led-all", "set the LED field of every port to 3 (CORVAX_SET_LED_ALL)");
    Plain(app, "clear-cpm", "clear the CPM bit of every drive behind a switch (CORVAX_CLR_CPM)");
    Plain(app, "set-ids", "replace the accepted vendor list (CORVAX_SET_DEVICE_ID_LIST)")
        ->add_option("VENDOR", c.list, "hexadecimal vendor IDs, in order")
        ->required();

    CLI::App* hotswap =
        Plain(app, "hotswap",
              "disable, swap the drives, enable, wait for them, rescan and restore, then show "
              "what changed");
    hotswap->add_option("EVENT", c.list,
                        "simulated events during the swap: pull S:P | insert S:P V:D | "
                        "replace S:P V:D | stuck S:P on|off");
    AddWaitOptions(hotswap, c);
    hotswap->add_flag("--force", c.force,
                      "cut the links even when Windows keeps its directory or a page file "
                      "behind a switch");
    AddWaitOptions(
        Plain(app, "wait", "wait until the drives behind the switches answer again after enable"),
        c);
    Plain(app, "system-disks",
          "the PCI locations of the disks with the Windows directory and the page files");

    CLI::App* ioctl = Plain(app, "ioctl", "send any control request, as DeviceIoControl does");
    ioctl->add_option("CODE", c.first, "control code (hexadecimal) or its name")->required();
    ioctl->add_option("--in", c.inHex, "input bytes in order, as hexadecimal");
    ioctl->add_option("--out-len", c.outLength, "output buffer length in bytes (default 0)");

    CLI::App* sim = Plain(app, "sim", "act on the simulated hardware (host build only)");
    sim->require_subcommand(1);
    sim->add_subcommand("pull", "pull the drive out of SWITCH:SLOT")
        ->add_option("SWITCH:SLOT", c.first)
        ->required();
    CLI::App* insert = sim->add_subcommand("insert", "insert a drive fresh from reset");
    insert->add_option("SWITCH:SLOT", c.first)->required();
    insert->add_option("VENDOR:DEVICE", c.second)->required();
    CLI::App* replace = sim->add_subcommand("replace", "swap the drive in a slot for another");
    replace->add_option("SWITCH:SLOT", c.first)->required();
    replace->add_option("VENDOR:DEVICE", c.second)->required();
    CLI::App* stuck = sim->add_subcommand("stuck", "make a port's Link Disable stick, or not");
    stuck->add_option("SWITCH:SLOT", c.first)->required();
    stuck->add_option("STATE", c.second, "on or off")->required();
    CLI::App* read = sim->add_subcommand("read", "a configuration dword as the hardware holds it");
    read->add_option("PFA", c.first)->required();
    read->add_option("OFFSET", c.second, "hexadecimal, a multiple of 4")->required();
    CLI::App* write = sim->add_subcommand("write", "store a configuration dword");
    write->add_option("PFA", c.first)->required();
    write->add_option("OFFSET", c.second)->required();
    write->add_option("VALUE", c.third)->required();
    sim->add_subcommand("readmem", "a dword of physical memory")
        ->add_option("ADDRESS", c.first)
        ->required();
    sim->add_subcommand("wait", "let the simulated machine's time pass")
        ->add_option("MS", c.first, "milliseconds")
        ->required();
    CLI::App* writemem = sim->add_subcommand("writemem", "store a dword in a device page");
    writemem->add_option("ADDRESS", c.first)->required();
    writemem->add_option("VALUE", c.second)->required();

    if (withScript) {
        Plain(app, "script", "run one command per line of FILE (- for standard input)")
            ->add_option("FILE", c.first)
            ->required();
    }
}

std::string ParsedCommandName(const CLI::App& app) {
    for (const CLI::App* sub : app.get_subcommands()) {
        std::string name = sub->get_name();
        for (const CLI::App* inner : sub->get_subcommands()) {
            name += " " + inner->get_name();
        }
        return name;
    }
    return "";
}

std::vector<std::string> ScriptWords(const std::string& line) {
    std::istringstream text(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    std::string word;
    while (text >> word) {
        words.push_back(word);
    }
    return words;
}

}  // namespace corvaxctl
