// The command line: banner, the command table, result lines, the countdown and exit codes.
#include <cstring>

#include "tolvane.h"

namespace tolvane {

namespace {

enum class Command { Rescan, Restart, ChgProperty, Disable, Enable, Remove, Install, Unknown };

struct CommandEntry {
    const char* word;
    size_t compared;
    Command command;
};

// Tested in this order; each entry compares its own length, so a longer word that begins with
// the command word still selects it.
constexpr CommandEntry kCommandTable[] = {
    {"rescan", 6, Command::Rescan},
    {"restart", 7, Command::Restart},
    {"chgproperty", 11, Command::ChgProperty},
    {"disable", 7, Command::Disable},
    {"enable", 6, Command::Enable},
    {"remove", 6, Command::Remove},
    {"install", 7, Command::Install},
};

// The result lines of one state-change command: PFA form, then identifier form.
struct StateLines {
    uint32_t state;
    const char* pfaSuccess;
    const char* pfaFail;
    const char* idSuccess;
    const char* idFail;
};

constexpr StateLines kChgPropertyLines = {
    SETUP_DICS_PROPCHANGE, "change property by PFA success \n\r",
    "change property by PFA fail \n\r", "change property success \n\r",
    "change property fail \n\r"};
constexpr StateLines kDisableLines = {SETUP_DICS_DISABLE, "disable by PFA success \n\r",
                                      "disable by PFA fail \n\r", "disable success \n\r",
                                      "disable fail \n\r"};
constexpr StateLines kEnableLines = {SETUP_DICS_ENABLE, "enable by PFA success \n\r",
                                     "enable by PFA fail \n\r", "enabled success \n\r",
                                     "enabled fail \n\r"};

Command FindCommand(const char* word) {
    for (const CommandEntry& entry : kCommandTable) {
        if (strncmp(word, entry.word, entry.compared) == 0) {
            return entry.command;
        }
    }
    return Command::Unknown;
}

// Result lines are constant texts; printing them through "%s" keeps them byte for byte.
void PrintLine(const char* line) {
    Print("%s", line);
}

void RunStateChange(const char* operand, const StateLines& lines) {
    if (strncmp(operand, kPfaPrefix, strlen(kPfaPrefix)) == 0) {
        int32_t result = ChangeStateByPfa(operand, lines.state);
        PrintLine(result == kSuccess ? lines.pfaSuccess : lines.pfaFail);
    } else {
        int32_t result = ChangeStateById(operand);
        PrintLine(result == kSuccess ? lines.idSuccess : lines.idFail);
    }
}

void Countdown() {
    for (int seconds = kCountdownStart; seconds >= 1; --seconds) {
        Print("application will close after %d seconds\r", seconds);
        OsSleep(kCountdownTickMs);
    }
}

}  // namespace

int RunTolvane(int argc, char** argv) {
    Print("Tolvane Version:%s", kToolVersion);
    if (argc < 2) {
        return -1;
    }

    const StateLines* stateLines = nullptr;
    switch (FindCommand(argv[1])) {
        case Command::Rescan: {
            bool synchronous = argc > 2 && strncmp(argv[2], "-sync", 5) == 0;
            PrintLine(RescanDevices(synchronous) == kSuccess
                          ? "Enumerate Hardware changed success \n\r"
                          : "Enumerate Hardware changed fail \n\r");
            break;
        }
        case Command::Restart:
            RestartDisks();
            PrintLine("restart disk status success \n\r");
            break;
        case Command::ChgProperty:
            stateLines = &kChgPropertyLines;
            break;
        case Command::Disable:
            stateLines = &kDisableLines;
            break;
        case Command::Enable:
            stateLines = &kEnableLines;
            break;
        case Command::Remove: {
            const char* operand = argc > 2 ? argv[2] : kDefaultHardwareId;
            int32_t result;
            if (operand[0] == '=') {
                Print("hwID=>%s\n\r", operand);
                SetupGuid classGuid{};
                uint32_t required = 0;
                if (!DiClassGuidsFromName(operand + 1, &classGuid, 1, &required)) {
                    Print("Invalid class name\n\r");
                    return -1;
                }
                if (required == 0) {
                    Print("retrieve Class GUID fail\n\r");
                    return 0;
                }
                result = RemoveDevices(nullptr, &classGuid);
            } else {
                result = RemoveDevices(operand, nullptr);
            }
            PrintLine(result == kSuccess ? "Driver remove success \n\r"
                                         : "Driver remove fail \n\r");
            break;
        }
        case Command::Install:
            if (argc < 4) {
                return 2;
            }
            PrintLine(InstallDriver(argv[2], argv[3]) == kSuccess ? "Driver install success \n\r"
                                                                  : "Driver install fail \n\r");
            break;
        case Command::Unknown:
            Print("Unknown command(%s)\n\r", argv[1]);
            break;
    }

    if (stateLines != nullptr) {
        if (argc < 3) {
            return 2;
        }
        // More than one operand: nothing is done and no line printed, but the run ends as
        // usual.
        if (argc == 3) {
            RunStateChange(argv[2], *stateLines);
        }
    }

    Countdown();
    return 0;
}

}  // namespace tolvane
