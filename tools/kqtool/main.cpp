// kqtool: command-line client of the KQ reader library. Uses the real
// readers when one is attached (or --real), else the built-in simulated
// reader (or --simulated).
#include "commands.h"
#include "host.h"
#include "options.h"
#include "output.h"
#include "target.h"

#include <cstdio>
#include <string>

namespace {

struct CommandEntry {
    const char* name;
    int (*run)(const kqtool::Options&, kqtool::Target&);
};

constexpr CommandEntry kCommands[] = {
    {"list", kqtool::RunList},
    {"probe", kqtool::RunProbe},
    {"beep", kqtool::RunBeep},
    {"inventory", kqtool::RunInventory},
    {"wait", kqtool::RunWait},
    {"tag-command", kqtool::RunTagCommand},
    {"read", kqtool::RunRead},
    {"write", kqtool::RunWrite},
    {"multi-read", kqtool::RunMultiRead},
    {"multi-write", kqtool::RunMultiWrite},
    {"sensor", kqtool::RunSensor},
    {"loop", kqtool::RunLoop},
};

} // namespace

int main(int argc, char** argv) {
    kqtool::SetProgramPath(argc > 0 ? argv[0] : nullptr);
    // A closed output pipe must not end the process before a running loop
    // is stopped: writes fail instead, and the loop stops in order.
    kqtool::IgnoreBrokenPipe();
    kqtool::Options options;
    std::string error;
    bool parsed = kqtool::ParseOptions(argc, argv, &options, &error);
    kqtool::SetUsageContext(options.json, options.loop_kind.empty()
                                              ? options.command
                                              : options.command + " " + options.loop_kind);
    if (!parsed) {
        return kqtool::UsageError(error);
    }
    if (options.help) {
        // "kqtool read --help": that command's help; "kqtool --help": all.
        if (options.command.empty()) {
            kqtool::PrintUsage(stdout);
        } else if (!kqtool::PrintCommandHelp(options.command, stdout)) {
            return kqtool::UsageError("unknown command '" + options.command + "'");
        }
        return kqtool::kExitOk;
    }
    if (options.version) {
        // Touches neither the library's driver nor the simulated reader.
        kqtool::PrintVersion(options.json);
        return kqtool::kExitOk;
    }
    const CommandEntry* command = nullptr;
    for (const CommandEntry& entry : kCommands) {
        if (options.command == entry.name) {
            command = &entry;
        }
    }
    if (command == nullptr) {
        return kqtool::UsageError("unknown command '" + options.command + "'");
    }
    if (!kqtool::CheckOptionsApply(options, &error)) {
        return kqtool::UsageError(error);
    }

    // The target must be ready before the first library call: the library
    // binds its driver once, from KQ_D2XX, at that call.
    kqtool::Target target;
    if (!target.Prepare(options, &error)) {
        kqtool::ReportError(error);
        return kqtool::kExitFailed;
    }
    return command->run(options, target);
}
