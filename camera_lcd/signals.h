// How camera_lcd takes a signal: one that was ignored when the program
// started (nohup, a shell's background job) stays ignored, as the one who
// started it asked.
#ifndef SIGNALS_H
#define SIGNALS_H

#include <csignal>

// Runs handler on signal, with blocked blocked meanwhile.
inline void catch_signal(int signal, void (*handler)(int), const sigset_t &blocked)
{
    struct sigaction before;
    if (sigaction(signal, nullptr, &before) != 0 || before.sa_handler == SIG_IGN)
        return;
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_mask = blocked;
    sigaction(signal, &action, nullptr);
}

#endif
