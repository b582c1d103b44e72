// The requests to stop that the system sends a process (Ctrl-C in its
// terminal, SIGTERM at shutdown or from kill), noted instead of ending it at
// once, so that a command-line run can finish or remove the file it is
// writing and say what it saved. A back end for another system is one more
// file beside stopsignals_linux.cpp.
#pragma once

namespace platform {

// From now on the first SIGINT or SIGTERM is noted (stopsignal()); a second
// one ends the process as usual, for a user whom a stuck read keeps waiting.
void catchstopsignals();
// The usual dispositions again; what was noted stays noted.
void releasestopsignals();
// The signal noted since catchstopsignals() (SIGINT, SIGTERM), 0 when none.
// Safe to ask at any time, as often as wanted: one load.
int stopsignal();
// The signal's name for messages ("SIGINT").
const char* stopsignalname(int signal);

}  // namespace platform
