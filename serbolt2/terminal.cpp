// Console terminal: one polling loop. Each pass reads at most one byte from the
// port (waiting up to the port's read time-out when the device is quiet), then
// takes every key that is waiting. Keys come from the console, or, when
// standard input is not a console (a pipe, a file), from standard input byte by
// byte, and the terminal ends with that input.
#include "terminal.h"

#include "com.h"

#include <conio.h>
#include <cstdio>

static const unsigned char kExitKey = 'x';
// _getch gives 0 (or 0xE0) before the second value of a function or cursor key.
static const unsigned char kExtendedKeyPrefix = 0;
static const unsigned char kCarriageReturn = '\r';
static const unsigned char kLineFeed = '\n';

// Keys taken in one pass at most, so that a long paste or a big input file
// still lets the device's output through between the batches.
static const int kKeysPerPass = 256;
// After the end of the input, the device's output is shown until the line has
// been quiet this long.
static const ULONGLONG kQuietMs = 100;
// While the port is gone: how often its name is tried again, and how often
// the keys are looked at in between.
static const ULONGLONG kReopenEveryMs = 500;
static const DWORD kLostPollMs = 50;

// Where keys come from, fixed when the terminal starts.
static bool keysFromConsole = true;
static HANDLE keyInput = INVALID_HANDLE_VALUE;
static DWORD keyInputType = FILE_TYPE_UNKNOWN;
// Bytes of standard input read but not yet handed out as keys.
static unsigned char inputBuffer[kKeysPerPass];
static DWORD inputLength = 0, inputNext = 0;
// The previous key from standard input was a carriage return.
static bool afterCarriageReturn = false;

// Outcomes of nextKey.
enum { KEYS_ENDED = -1, KEYS_NONE = 0, KEY_TAKEN = 1 };
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

// The next key without waiting for one.
static int nextKey(unsigned char *key)
{
    if (keysFromConsole) {
        if (!_kbhit())
            return KEYS_NONE;
        *key = (unsigned char)_getch();
        return KEY_TAKEN;
    }
    if (inputNext == inputLength) {
        int state = readInput();
        if (state != KEY_TAKEN)
            return state;
    }
    *key = inputBuffer[inputNext++];
    return KEY_TAKEN;
}

// What a typed key sends, in *key. False when it sends nothing: the zero that
// announces a function key, or the line feed of an input file's CR LF (Enter
// already went out for its carriage return).
static bool keyToSend(unsigned char *key)
{
    bool lineFeedAfterReturn = !keysFromConsole && afterCarriageReturn && *key == kLineFeed;
    afterCarriageReturn = *key == kCarriageReturn;
    if (keysFromConsole && *key == kExtendedKeyPrefix)
        return false;
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

static void leave()
{
    discardConsoleInput();
    printf("\nExiting terminal mode.\n");
    fflush(stdout);
}

static void showReceived(unsigned char received)
{
    putchar(received);
    fflush(stdout);
}

// Shows what the device still sends until the line is quiet. False when the
// port failed meanwhile.
static bool showUntilQuiet()
{
    ULONGLONG last = GetTickCount64();
    while (GetTickCount64() - last < kQuietMs) {
        unsigned char received;
        int got = comReadByte(&received);
        if (got == COM_READ_FAILED)
            return false;
        if (got == COM_READ_BYTE) {
            showReceived(received);
            last = GetTickCount64();
        }
    }
    return true;
}

static void lineLost()
{
    fflush(stdout);
    fprintf(stderr, "COM port %s - connection lost.\n", comName());
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
        while (nextKey(&key) == KEY_TAKEN)
            if (key == kExitKey)
                return false;
        if (GetTickCount64() - lastTry >= kReopenEveryMs) {
            lastTry = GetTickCount64();
            if (comReopen()) {
                fprintf(stderr, "COM port %s - connected.\n", comName());
                return true;
            }
        }
        Sleep(kLostPollMs);
    }
}

// Takes the keys that are waiting, up to one batch: echoed and sent one by
// one. Stops early at 'x', at the end of the input, or when the port fails.
static int handleKeys()
{
    int outcome = BATCH_DONE;
    for (int taken = 0; taken < kKeysPerPass && outcome == BATCH_DONE; taken++) {
        unsigned char key;
        int state = nextKey(&key);
        if (state == KEYS_NONE)
            break;
        if (state == KEYS_ENDED)
            outcome = BATCH_INPUT_ENDED;
        else if (key == kExitKey)
            outcome = BATCH_EXIT_KEY;
        else if (keyToSend(&key)) {
            printf("%c", key);
            if (!comWriteSlow(&key, 1))
                outcome = BATCH_PORT_FAILED;
        }
    }
    fflush(stdout);
    return outcome;
}

int terminalMode(bool discardTypedAhead)
{
    chooseKeySource();
    // Before the prompt: what is typed once it shows is meant for the device.
    if (discardTypedAhead)
        discardConsoleInput();
    printf("Entering terminal mode. Press 'x' to exit.\n");
    fflush(stdout);

    for (;;) {
        unsigned char received;
        int got = comReadByte(&received);
        if (got == COM_READ_BYTE)
            showReceived(received);

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
