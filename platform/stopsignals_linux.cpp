// SIGINT and SIGTERM on Linux: a handler that stores the signal number,
// installed with SA_RESETHAND so that the next one takes its default action.
#include "platform/stopsignals.h"

#include <csignal>
#include <initializer_list>

namespace platform {

namespace {

volatile std::sig_atomic_t noted = 0;

void note(int signal) { noted = signal; }

void install(void (*handler)(int), int flags)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM})
        sigaction(signal, &action, nullptr);
}

}  // namespace

void catchstopsignals()
{
    noted = 0;
    // SA_RESTART: reads and writes under way go on; the run looks at the
    // note between its steps and between the blocks of a file.
    install(note, SA_RESETHAND | SA_RESTART);
}

void releasestopsignals() { install(SIG_DFL, 0); }

int stopsignal() { return noted; }

const char* stopsignalname(int signal) { return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "signal"; }

}  // namespace platform
