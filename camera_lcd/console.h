// The kernel's text console kept off the live view: the console shown on the
// framebuffer goes into graphics mode (no text, no cursor, no blanking) for
// as long as the program runs, and back into text mode when it ends.
#ifndef CONSOLE_H
#define CONSOLE_H

// Takes the console that the framebuffer screen_fd shows, if any: the VT of
// the controlling terminal (brought to the front when it is not there), else
// the VT in front. Unblanks the screen. One line on standard error when it
// took the console or could not; nothing where no console is on the screen.
void hold_console(int screen_fd);

// Gives the console back in text mode, and the front to the VT that had it
// before. Async-signal-safe; runs at exit and on SIGTERM, SIGINT, SIGHUP and
// SIGQUIT once hold_console took the console.
void release_console(void);

#endif
