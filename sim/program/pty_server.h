// Serves one simulated reader on a pseudo-terminal until a signal ends it.
#pragma once

#include "model/reader.h"
#include "model/scenario.h"

namespace kqsim {

// Opens the pty, prints the path of its tty on the first line of stdout and
// runs the reader (and the scenario's schedule) until SIGINT or SIGTERM
// (exit 0), or until SIGUSR1 or the vanish time, when it closes the pty so
// that clients see the device gone (exit 0). Returns the exit code.
//
// The server keeps a descriptor of the tty open itself, so a client may close
// and reopen it at will. A pseudo-terminal carries no break condition: a
// client's break is not seen, only a new STX discards a partial frame.
int ServePty(Reader& reader, const Scenario& sc);

} // namespace kqsim
