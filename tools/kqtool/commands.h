// The commands of kqtool. Each returns the process exit status (ExitStatus,
// output.h).
#pragma once

#include "options.h"
#include "target.h"

namespace kqtool {

int RunList(const Options& options, Target& target);
int RunProbe(const Options& options, Target& target);
int RunBeep(const Options& options, Target& target);
int RunInventory(const Options& options, Target& target);
int RunWait(const Options& options, Target& target);
int RunTagCommand(const Options& options, Target& target);
int RunRead(const Options& options, Target& target);
int RunWrite(const Options& options, Target& target);
int RunMultiRead(const Options& options, Target& target);
int RunMultiWrite(const Options& options, Target& target);
int RunSensor(const Options& options, Target& target);
int RunLoop(const Options& options, Target& target);

} // namespace kqtool
