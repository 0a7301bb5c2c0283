// The Windows console around serbolt2: the modes it changes
// while it runs, all given back on every way out, and Ctrl-C, Ctrl-Break and
// a closed console window, which end the run.
#pragma once

#include <windows.h>

// The exit status of a run that Ctrl-C, Ctrl-Break or a closed window ended:
// the one Windows gives a console program that its default handler ends.
static const int kInterruptedStatus = (int)0xC000013AL;   // STATUS_CONTROL_C_EXIT

// Standard output in binary mode, the control handler in place, QuickEdit off
// (a selection in the window would hold every console write, the progress
// line's among them, and with it the upload).
void consoleBegin();
// The terminal's console: the device's escape sequences carried out.
// consoleTerminalEnd() gives the mode back.
void consoleTerminalBegin();
void consoleTerminalEnd();
// Gives back every console mode that serbolt2 changed. Safe to call
// again, and from the control handler's thread.
void consoleRestore();

// True once Ctrl-C, Ctrl-Break or the window's closing asked serbolt2 to end.
bool consoleInterrupted();
// Signalled at that moment, for waits that should end then.
HANDLE consoleInterruptEvent();
// The width of the progress line now on the console's standard error (0:
// none), for the control handler to wipe out should the run end under it.
void consoleProgressWidth(int width);
