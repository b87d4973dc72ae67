// corvaxctl: the run of one command line: parse and check it whole (a script too), load the
// driver, run the command or the script's lines on one session, and report what ends a run.
#include <algorithm>
#include <iostream>
#include <sstream>

#include <CLI/CLI.hpp>

#include "tools/corvaxctl/command_line.h"
#include "tools/corvaxctl/corvaxctl.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/output.h"
#include "tools/corvaxctl/session.h"
#include "tools/corvaxctl/system_disk.h"
#include "tools/corvaxctl/transport.h"

namespace corvaxctl {
namespace {

// A bad script line, or a command of a script that the machine refused: the line is named.
class LineError : public UsageError {
  public:
    LineError(const std::string& where, int line, const std::string& message)
        : UsageError(where + " line " + std::to_string(line) + ": " + message), line_(line) {}
    int Line() const { return line_; }

  private:
    int line_;
};

std::string OneLine(std::string text) {
    for (char& ch : text) {
        if (ch == '\n' || ch == '\r') {
            ch = ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// Whether an option is among those before the command: --json, so that even a command line
// that does not parse is answered in JSON; --version, which needs no command.
bool LeadingOption(const std::vector<std::string>& args, const std::string& option) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == option) {
            return true;
        }
        if (args[i] == "--fabric") {
            ++i;
        } else if (args[i].empty() || args[i][0] != '-') {
            return false;
        }
    }
    return false;
}

// Reports a failure that ends the run: one line on standard error and, with --json, an error
// object on standard output. Exit code 2.
int Fail(std::ostream& out, std::ostream& err, bool json, const std::string& message,
         const std::string& hint = "", std::optional<int> line = std::nullopt) {
    const std::string text = OneLine(message);
    err << "corvaxctl: " << text << hint << "\n";
    if (json) {
        Json j;
        j["event"] = "error";
        j["message"] = text;
        j["exit_code"] = kExitUsage;
        if (line) {
            j["line"] = *line;
        }
        out << j.dump() << "\n";
    }
    out.flush();
    err.flush();
    return kExitUsage;
}

// One checked line of a script.
struct ScriptLine {
    int number = 0;
    std::vector<std::string> words;
    Command command;
};

// Reads a whole script and checks every line before any of them runs. LineError names the
// first bad line; UsageError when the script cannot be read.
std::vector<ScriptLine> ReadScript(const std::string& file, std::istream& in, bool simulated) {
    std::string text;
    if (file == "-") {
        std::ostringstream all;
        all << in.rdbuf();
        text = all.str();
    } else {
        text = ReadNamedFile(file, "script");
    }
    const std::string where = file == "-" ? "stdin" : file;
    std::vector<ScriptLine> lines;
    std::istringstream stream(text);
    std::string line;
    for (int number = 1; std::getline(stream, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        ScriptLine s;
        s.number = number;
        s.words = ScriptWords(line);
        if (s.words.empty()) {
            continue;
        }
        try {
            s.command = ParseScriptLine(s.words, simulated);
        } catch (const CLI::ParseError& e) {
            throw LineError(where, number, OneLine(e.what()));
        } catch (const UsageError& e) {
            throw LineError(where, number, e.what());
        }
        if (!simulated && file == "-" && s.command.name == "hotswap") {
            throw LineError(where, number,
                            "hotswap waits for Enter on standard input, which holds this script; "
                            "give the script as a file");
        }
        lines.push_back(std::move(s));
    }
    return lines;
}

// Runs the checked lines in order. A line the driver answers with an error status, or that the
// machine refuses when it runs (a slot the switch lacks, a drive to pull that is not there, the
// Windows disks guard), is reported and the script goes on: the lines after it (an enable, a
// restore) are what bring the machine back.
// Which of two exit codes a script ends with: the graver. A line refused (2) outranks a slot
// that failed its verdict (3), since the script did not run as written; a cycle that could not
// go on (5) outranks everything.
int Graver(int a, int b) {
    auto rank = [](int code) {
        switch (code) {
            case kExitOk:
                return 0;
            case kExitDriverStatus:
                return 1;
            case kExitSlotFailed:
                return 2;
            case kExitUsage:
                return 3;
            default:
                return 4;
        }
    };
    return rank(b) > rank(a) ? b : a;
}

int RunScript(Session& session, const std::vector<ScriptLine>& lines, const std::string& file,
              std::ostream& out, std::ostream& err, bool json) {
    const std::string where = file == "-" ? "stdin" : file;
    int result = kExitOk;
    for (const ScriptLine& line : lines) {
        if (!json) {
            out << "> " << Join(line.words, " ") << "\n";
        }
        try {
            result = Graver(result, session.Execute(line.command));
        } catch (const UsageError& e) {
            const LineError named(where, line.number, e.what());
            result = Graver(result, Fail(out, err, json, named.what(), "", named.Line()));
        }
    }
    return result;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err, const Environment& environment) {
    const bool simulated = environment.simulated.value_or(Transport::Simulated());
    const bool json = LeadingOption(args, "--json");
    if (LeadingOption(args, "--version")) {
        out << "corvaxctl " << VersionText(CORVAX_DRIVER_VERSION)
            << " (for the Corvax driver of the same version; `corvaxctl version` asks the "
               "driver)\n";
        return kExitOk;
    }
    CLI::App app(simulated ? "corvaxctl: the Corvax driver on a simulated machine (host build)"
                           : "corvaxctl: the user-mode client of the Corvax driver",
                 "corvaxctl");
    GlobalOptions options;
    Command command;
    AddGlobalOptions(app, options, simulated);
    app.fallthrough();
    AddCommands(app, command, true, simulated);
    const std::string hint = " (see corvaxctl --help)";
    std::vector<ScriptLine> script;
    try {
        ParseWords(app, args, simulated);
        command.name = ParsedCommandName(app);
        CheckOperands(command, simulated);
        if (command.name == "script") {
            script = ReadScript(command.first, in, simulated);
        }
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        return Fail(out, err, json, e.what(), hint);
    } catch (const CommandLineError& e) {
        return Fail(out, err, json, e.what(), hint);
    } catch (const LineError& e) {
        return Fail(out, err, json, e.what(), "", e.Line());
    } catch (const UsageError& e) {
        return Fail(out, err, json, e.what());
    }
    if (!simulated && command.name == "system-disks") {
        // Windows answers this itself; the driver need not be there.
        std::unique_ptr<SystemDiskLocator> own;
        SystemDiskLocator* locator = environment.locator;
        if (locator == nullptr) {
            own = MakeSystemDiskLocator(nullptr);
            locator = own.get();
        }
        const std::vector<SystemDisk> disks = locator->Locate();
        if (options.json) {
            out << SystemDisksJson(disks).dump() << "\n";
        } else {
            PrintSystemDisks(disks, out);
        }
        return kExitOk;
    }
    try {
        Transport transport(TransportOptions{options.fabric});
        Session session(transport, options, in, out, err, environment, simulated);
        session.ReportLoad();
        if (command.name == "script") {
            return RunScript(session, script, command.first, out, err, options.json);
        }
        return session.Execute(command);
    } catch (const LineError& e) {
        return Fail(out, err, json, e.what(), "", e.Line());
    } catch (const UsageError& e) {
        return Fail(out, err, json, e.what());
    }
}

}  // namespace corvaxctl
