// Console terminal: one polling loop. Each pass waits for the device (up to the
// port's read time-out when it is quiet) and shows what it sent, then takes up
// to a batch of the keys that are waiting, showing what the device sends
// between them. Keys come from the console, or, when standard input is not a
// console (a pipe, a file), from standard input byte by byte, and the terminal
// ends with that input.
#include "terminal.h"

#include "com.h"
#include "text.h"

#include <conio.h>
#include <cstdio>

static const unsigned char kExitKey = 'x';
// _getch announces a function or cursor key with 0 or 0xE0, then gives its code.
static const int kFunctionKeyPrefix = 0;
static const int kCursorKeyPrefix = 0xE0;
static const unsigned char kCarriageReturn = '\r';
static const unsigned char kLineFeed = '\n';

// Keys taken in one pass at most.
static const int kKeysPerPass = 256;
// Device output is moved to the screen in blocks of this size.
static const size_t kBlockBytes = 4096;
// After the end of scripted input, the device's output is shown until the line
// has been quiet this long, but no longer than kAfterInputMs after the end.
static const ULONGLONG kQuietMs = 500;
static const ULONGLONG kAfterInputMs = 5000;
// While the port is gone: how often its name is tried again, and how often
// the keys are looked at in between.
static const ULONGLONG kReopenEveryMs = 500;
static const DWORD kLostPollMs = 50;
// Console input records looked at to tell a typed character from a key that
// has none.
static const DWORD kPeekRecords = 64;

// Where keys come from, fixed when the terminal starts.
static bool keysFromConsole = true;
static HANDLE keyInput = INVALID_HANDLE_VALUE;
static DWORD keyInputType = FILE_TYPE_UNKNOWN;
// Bytes of standard input read but not yet handed out as keys.
static unsigned char inputBuffer[kKeysPerPass];
static DWORD inputLength = 0, inputNext = 0;
// The previous key from standard input was a carriage return.
static bool afterCarriageReturn = false;
// The terminal's last byte on standard output did not end a line.
static bool lineOpen = false;
// The console's output mode before the terminal asked for escape sequences.
static HANDLE screen = INVALID_HANDLE_VALUE;
static DWORD screenModeBefore = 0;
static bool screenModeChanged = false;

// Outcomes of nextKey.
enum { KEYS_ENDED = -1, KEYS_NONE = 0, KEY_TAKEN = 1, KEY_DROPPED = 2 };
// Outcomes of a batch of keys.
enum { BATCH_DONE = 0, BATCH_EXIT_KEY = 1, BATCH_INPUT_ENDED = 2, BATCH_PORT_FAILED = 3 };

static void chooseKeySource()
{
    keyInput = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    keysFromConsole = GetConsoleMode(keyInput, &mode) != 0;
    keyInputType = keysFromConsole ? FILE_TYPE_CHAR : GetFileType(keyInput);
    inputLength = inputNext = 0;
    afterCarriageReturn = false;
}

// Device colour and cursor sequences are carried out by the console rather
// than printed, where the console can; elsewhere nothing changes.
static void screenEscapesOn()
{
    screen = GetStdHandle(STD_OUTPUT_HANDLE);
    screenModeChanged = GetConsoleMode(screen, &screenModeBefore) &&
                        (screenModeBefore & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0 &&
                        SetConsoleMode(screen, screenModeBefore | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

static void screenEscapesOff()
{
    if (screenModeChanged)
        SetConsoleMode(screen, screenModeBefore);
    screenModeChanged = false;
}

// Refills inputBuffer from standard input without waiting on a pipe that is
// still open but empty. KEYS_NONE when nothing is there yet.
static int readInput()
{
    DWORD want = sizeof inputBuffer;
    if (keyInputType == FILE_TYPE_PIPE) {
        DWORD available = 0;
        if (PeekNamedPipe(keyInput, nullptr, 0, nullptr, &available, nullptr)) {
            if (available == 0)
                return KEYS_NONE;
            if (available < want)
                want = available;
        } else if (GetLastError() == ERROR_BROKEN_PIPE) {
            return KEYS_ENDED;  // the writer has closed the pipe and all is read
        }
        // Otherwise the pipe cannot be looked into (Wine's pipes from Unix say
        // ERROR_NOT_SUPPORTED): the read below waits for the writer.
    }
    // A file, or a device that is not a console (NUL): reads do not wait long.
    DWORD got = 0;
    if (keyInput == nullptr || keyInput == INVALID_HANDLE_VALUE ||
        !ReadFile(keyInput, inputBuffer, want, &got, nullptr) || got == 0)
        return KEYS_ENDED;
    inputLength = got;
    inputNext = 0;
    return KEY_TAKEN;
}

// Whether the key press that _getch takes next is a character. A key without
// one (a cursor or function key) makes _getch give its prefix and code, and a
// character may be the byte 0xE0 itself (Cyrillic 'r' in code page 866), so
// the prefix alone cannot tell. Keys that _getch passes over (Shift, Ctrl, Alt)
// are passed over here too.
static bool nextPressIsCharacter()
{
    static INPUT_RECORD records[kPeekRecords];
    DWORD count = 0;
    if (!PeekConsoleInputA(keyInput, records, kPeekRecords, &count))
        return false;
    for (DWORD i = 0; i < count; i++) {
        const KEY_EVENT_RECORD &key = records[i].Event.KeyEvent;
        if (records[i].EventType != KEY_EVENT || !key.bKeyDown)
            continue;
        if (key.uChar.AsciiChar != 0)
            return true;
        WORD vk = key.wVirtualKeyCode;
        if (vk != VK_SHIFT && vk != VK_CONTROL && vk != VK_MENU && vk != VK_CAPITAL && vk != VK_NUMLOCK &&
            vk != VK_SCROLL && vk != VK_LWIN && vk != VK_RWIN)
            return false;
    }
    return false;
}

// The next key typed at the console without waiting for one. A cursor or
// function key is dropped whole, its prefix and its code (KEY_DROPPED).
static int nextConsoleKey(unsigned char *key)
{
    if (!_kbhit())
        return KEYS_NONE;
    bool character = nextPressIsCharacter();
    int c = _getch();
    if (!character && (c == kFunctionKeyPrefix || c == kCursorKeyPrefix)) {
        // The code follows at once: _getch holds it back for the next call.
        if (_kbhit())
            _getch();
        return KEY_DROPPED;
    }
    *key = (unsigned char)c;
    return KEY_TAKEN;
}

// The next key without waiting for one.
static int nextKey(unsigned char *key)
{
    if (keysFromConsole)
        return nextConsoleKey(key);
    if (inputNext == inputLength) {
        int state = readInput();
        if (state != KEY_TAKEN)
            return state;
    }
    *key = inputBuffer[inputNext++];
    return KEY_TAKEN;
}

// What a key sends, in *key. False when it sends nothing: the line feed of an
// input file's CR LF (Enter already went out for its carriage return).
static bool keyToSend(unsigned char *key)
{
    bool lineFeedAfterReturn = !keysFromConsole && afterCarriageReturn && *key == kLineFeed;
    afterCarriageReturn = *key == kCarriageReturn;
    if (lineFeedAfterReturn)
        return false;
    // The device ends its lines on a line feed; Enter gives a carriage return.
    if (*key == kCarriageReturn)
        *key = kLineFeed;
    return true;
}

// Console input that has not been read yet is thrown away: keys typed during an
// upload, or the rest of a paste after 'x' (cmd.exe would read it otherwise).
static void discardConsoleInput()
{
    if (keysFromConsole)
        FlushConsoleInputBuffer(keyInput);
}

// Bytes on standard output, shown at once.
static void showBytes(const unsigned char *bytes, size_t count)
{
    if (count == 0)
        return;
    fwrite(bytes, 1, count, stdout);
    fflush(stdout);
    lineOpen = bytes[count - 1] != '\n';
}

static void leave()
{
    discardConsoleInput();
    screenEscapesOff();
    printf("\nExiting terminal mode.\n");
    fflush(stdout);
}

// Shows what the device has sent so far, one block at most, without waiting
// (a device that sends faster than the screen takes it cannot hold the keys
// up). False when the port failed.
static bool showAvailable()
{
    static unsigned char block[kBlockBytes];
    int got = comReadAvailable(block, sizeof block);
    if (got < 0)
        return false;
    showBytes(block, (size_t)got);
    return true;
}

// Waits up to the port's read time-out for the device and shows what it sent.
// COM_READ_BYTE when something came, COM_READ_NOTHING, or COM_READ_FAILED.
static int showReceived()
{
    unsigned char first;
    int got = comReadByte(&first);
    if (got != COM_READ_BYTE)
        return got;
    showBytes(&first, 1);
    return showAvailable() ? COM_READ_BYTE : COM_READ_FAILED;
}

// After the end of scripted input: shows what the device still sends until
// the line has been quiet for kQuietMs, but for kAfterInputMs at most, so that
// a device that keeps talking cannot keep a script running. False when the
// port failed meanwhile.
static bool showUntilQuiet()
{
    const ULONGLONG ended = GetTickCount64();
    ULONGLONG last = ended;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now - last >= kQuietMs || now - ended >= kAfterInputMs)
            return true;
        int got = showReceived();
        if (got == COM_READ_FAILED)
            return false;
        if (got == COM_READ_BYTE)
            last = GetTickCount64();
    }
}

static void lineLost()
{
    // The message starts a line of its own, not after the keys echoed last.
    if (lineOpen)
        showBytes((const unsigned char *)"\n", 1);
    printMessage(stderr, "COM port %s - connection lost.\n", comName());
    comClose();
}

// While the port is gone: tries its name every half second until it opens
// again (true), and watches the keys meanwhile. 'x' leaves (false); other keys
// are not sent, as there is no device to take them.
static bool waitForReturn()
{
    ULONGLONG lastTry = GetTickCount64();
    for (;;) {
        unsigned char key;
        int state;
        while ((state = nextKey(&key)) == KEY_TAKEN || state == KEY_DROPPED)
            if (state == KEY_TAKEN && key == kExitKey)
                return false;
        if (GetTickCount64() - lastTry >= kReopenEveryMs) {
            lastTry = GetTickCount64();
            if (comReopen()) {
                printMessage(stderr, "COM port %s - connected.\n", comName());
                return true;
            }
        }
        Sleep(kLostPollMs);
    }
}

// Takes the keys that are waiting, up to one batch: each echoed and sent,
// paced, with what the device sent meanwhile shown after it. Stops early at
// 'x', at the end of the input, or when the port fails.
static int handleKeys()
{
    int outcome = BATCH_DONE;
    int taken = 0;
    while (taken < kKeysPerPass && outcome == BATCH_DONE) {
        unsigned char key;
        int state = nextKey(&key);
        if (state == KEYS_NONE) {
            // No key is coming in: the paced writes may pause.
            if (taken == 0)
                comPacingIdle();
            break;
        }
        taken++;
        if (state == KEYS_ENDED)
            outcome = BATCH_INPUT_ENDED;
        else if (state == KEY_DROPPED)
            continue;
        else if (key == kExitKey)
            outcome = BATCH_EXIT_KEY;
        else if (keyToSend(&key)) {
            showBytes(&key, 1);
            if (!comWriteSlow(&key, 1) || !showAvailable())
                outcome = BATCH_PORT_FAILED;
        }
    }
    return outcome;
}

int terminalMode(bool discardTypedAhead)
{
    chooseKeySource();
    // Before the prompt: what is typed once it shows is meant for the device.
    if (discardTypedAhead)
        discardConsoleInput();
    screenEscapesOn();
    printf("Entering terminal mode. Press 'x' to exit.\n");
    fflush(stdout);
    lineOpen = false;

    for (;;) {
        int got = showReceived();
        int keys = got == COM_READ_FAILED ? BATCH_PORT_FAILED : handleKeys();
        if (keys == BATCH_INPUT_ENDED && !showUntilQuiet())
            keys = BATCH_PORT_FAILED;
        if (keys == BATCH_PORT_FAILED) {
            lineLost();
            // A script cannot wait for the device to come back: its session broke.
            if (!keysFromConsole || !waitForReturn()) {
                leave();
                return keysFromConsole ? 0 : 1;
            }
            continue;
        }
        if (keys != BATCH_DONE) {
            leave();  // 'x', or the input has ended and the device is quiet
            return 0;
        }
    }
}
