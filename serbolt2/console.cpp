// The console's modes as serbolt2 changes and gives them back,
// and its control handler.
//
// The handler runs on a thread that the system starts for it. It only marks
// the run as interrupted and wakes the main thread, which ends the run its own
// way (the progress line wiped, "Exiting terminal mode.", the port closed, the
// console given back). Should the main thread not be done within
// kGraceMs, the handler gives the console back itself and ends the process;
// a closed window allows a handler about 5 s in all.
#include "console.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

static const DWORD kGraceMs = 3000;

// What was found, for giving it back. Guarded by `lock`, as the handler's
// thread may give it back while the main thread is changing it.
static CRITICAL_SECTION lock;
static HANDLE keyboard = INVALID_HANDLE_VALUE;
static DWORD keyboardModeBefore = 0;
static bool keyboardModeChanged = false;
static HANDLE screen = INVALID_HANDLE_VALUE;
static DWORD screenModeBefore = 0;
static bool screenModeChanged = false;
static volatile LONG progressWidth = 0;

static volatile LONG interrupted = 0;
static HANDLE interruptEvent = nullptr;

// The console of a standard handle, or null when the handle is no console.
static HANDLE consoleHandle(DWORD which, DWORD *mode)
{
    HANDLE handle = GetStdHandle(which);
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, mode) ? handle
                                                                                               : nullptr;
}

// Wipes out the progress line, so that the shell's prompt does not land on it.
static void wipeProgress()
{
    LONG width = InterlockedExchange(&progressWidth, 0);
    DWORD mode;
    HANDLE err = consoleHandle(STD_ERROR_HANDLE, &mode);
    if (width <= 0 || err == nullptr)
        return;
    static char blank[256];
    int length = 0;
    blank[length++] = '\r';
    for (LONG i = 0; i < width && length < (int)sizeof blank - 1; i++)
        blank[length++] = ' ';
    blank[length++] = '\r';
    DWORD written;
    WriteFile(err, blank, (DWORD)length, &written, nullptr);
}

static BOOL WINAPI onControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    InterlockedExchange(&interrupted, 1);
    SetEvent(interruptEvent);
    // The main thread ends the process when it is done, this thread with it.
    Sleep(kGraceMs);
    wipeProgress();
    consoleRestore();
    ExitProcess((UINT)kInterruptedStatus);
    return TRUE;
}

void consoleBegin()
{
    InitializeCriticalSection(&lock);
    // The device's bytes reach a file or a pipe exactly as they came: no CR
    // is put in front of each LF.
    _setmode(_fileno(stdout), _O_BINARY);
    interruptEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onControl, TRUE);

    // QuickEdit: a selection made with the mouse holds every write to the
    // console until it ends. ENABLE_EXTENDED_FLAGS makes the change take; the
    // mode found is set back with it, QuickEdit and insert mode as they were.
    DWORD mode;
    HANDLE in = consoleHandle(STD_INPUT_HANDLE, &mode);
    EnterCriticalSection(&lock);
    if (in != nullptr && (mode & ENABLE_QUICK_EDIT_MODE) != 0 &&
        SetConsoleMode(in, (mode | ENABLE_EXTENDED_FLAGS) & ~(DWORD)ENABLE_QUICK_EDIT_MODE)) {
        keyboard = in;
        keyboardModeBefore = mode | ENABLE_EXTENDED_FLAGS;
        keyboardModeChanged = true;
    }
    LeaveCriticalSection(&lock);
}

void consoleTerminalBegin()
{
    DWORD mode;
    HANDLE out = consoleHandle(STD_OUTPUT_HANDLE, &mode);
    if (out == nullptr)
        return;
    EnterCriticalSection(&lock);
    // Device colour and cursor sequences are carried out by the console rather
    // than printed, where the console can (Windows 10 and later).
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0 &&
        SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        screen = out;
        screenModeBefore = mode;
        screenModeChanged = true;
    }
    LeaveCriticalSection(&lock);
}

void consoleTerminalEnd()
{
    EnterCriticalSection(&lock);
    if (screenModeChanged)
        SetConsoleMode(screen, screenModeBefore);
    screenModeChanged = false;
    LeaveCriticalSection(&lock);
}

void consoleRestore()
{
    consoleTerminalEnd();
    EnterCriticalSection(&lock);
    if (keyboardModeChanged)
        SetConsoleMode(keyboard, keyboardModeBefore);
    keyboardModeChanged = false;
    LeaveCriticalSection(&lock);
}

bool consoleInterrupted()
{
    return interrupted != 0;
}

HANDLE consoleInterruptEvent()
{
    return interruptEvent;
}

void consoleProgressWidth(int width)
{
    InterlockedExchange(&progressWidth, width);
}
