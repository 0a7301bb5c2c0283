// Console terminal: one loop that waits for the device and the keyboard at
// once (WaitForMultipleObjects on the port's read and the console's input),
// so a key goes out the moment it is typed and the device's output is shown
// in blocks as it comes. Keys come from the console as UTF-16 key events and
// go to the device as UTF-8; when standard input is not a console (a pipe, a
// file) its bytes are the keys, and the terminal ends with that input.
#include "terminal.h"

#include "com.h"
#include "console.h"
#include "text.h"

#include <cstdio>
#include <cstring>

static const unsigned char kExitKey = 'x';
static const unsigned char kCarriageReturn = '\r';
static const unsigned char kLineFeed = '\n';

// Keys from standard input taken in one pass at most, and console input
// records read in one pass.
static const int kKeysPerPass = 256;
static const DWORD kRecordsPerPass = 128;
// Device output is moved to the screen in blocks of this size.
static const size_t kBlockBytes = 4096;
// A device that streams: once a block of at least kBusyBytes has been shown,
// the line is left to fill the next block for kGatherMs (keys are still taken
// at once meanwhile), so a stream costs a few dozen writes a second, not one
// per byte.
static const int kBusyBytes = 512;
static const DWORD kGatherMs = 40;
// After the end of scripted input, the device's output is shown until the line
// has been quiet this long, but no longer than kAfterInputMs after the end.
static const ULONGLONG kQuietMs = 500;
static const ULONGLONG kAfterInputMs = 5000;
// While the port is gone: how often its name is tried again.
static const ULONGLONG kReopenEveryMs = 500;
// A pipe that is open but empty is looked at again this often.
static const DWORD kPipePollMs = 10;
// With nothing else to wake it, the loop asks the port this often whether it
// is still there (a driver might not end the read of a vanished device).
static const DWORD kHeartbeatMs = 1000;
// A reply-less wait looks at Ctrl-C at least this often.
static const DWORD kSliceMs = 50;

// Where keys come from, fixed when the terminal starts.
static bool keysFromConsole = true;
static HANDLE keyInput = INVALID_HANDLE_VALUE;
static DWORD keyInputType = FILE_TYPE_UNKNOWN;
// Bytes of standard input read but not yet handed out as keys.
static unsigned char inputBuffer[kKeysPerPass];
static DWORD inputLength = 0, inputNext = 0;
// The previous key from standard input was a carriage return.
static bool afterCarriageReturn = false;
// The first half of a character beyond U+FFFF typed at the console.
static WCHAR highSurrogate = 0;
// The terminal's last byte on standard output did not end a line.
static bool lineOpen = false;
// Standard output when it is a console, which gets the device's UTF-8 as
// UTF-16 (WriteConsoleW), whatever its code page; null for a file or a pipe,
// which get the bytes as they came. The start of a character whose other
// bytes have not come yet waits for them.
static HANDLE screen = nullptr;
static unsigned char partial[4];
static size_t partialLength = 0;
// The last block shown was a large one, but not a full one: the device is
// streaming, and the next block is worth waiting for.
static bool lineBusy = false;
// The console's input has had something since it was last read.
static bool keysWaiting = true;

// Outcomes of nextKey.
enum { KEYS_ENDED = -1, KEYS_NONE = 0, KEY_TAKEN = 1 };
// Outcomes of a batch of keys.
enum {
    BATCH_DONE = 0,
    BATCH_EXIT_KEY = 1,
    BATCH_INPUT_ENDED = 2,
    BATCH_PORT_FAILED = 3,
    BATCH_INTERRUPTED = 4
};

static void chooseKeySource()
{
    keyInput = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    keysFromConsole = GetConsoleMode(keyInput, &mode) != 0;
    keyInputType = keysFromConsole ? FILE_TYPE_CHAR : GetFileType(keyInput);
    inputLength = inputNext = 0;
    afterCarriageReturn = false;
    highSurrogate = 0;
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
            return KEYS_ENDED;   // the writer has closed the pipe and all is read
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

// The next key from standard input without waiting for one.
static int nextKey(unsigned char *key)
{
    if (inputNext == inputLength) {
        int state = readInput();
        if (state != KEY_TAKEN)
            return state;
    }
    *key = inputBuffer[inputNext++];
    return KEY_TAKEN;
}

// Console input that has not been read yet is thrown away: keys typed during an
// upload, or the rest of a paste after 'x' (cmd.exe would read it otherwise).
static void discardConsoleInput()
{
    if (keysFromConsole)
        FlushConsoleInputBuffer(keyInput);
}

// The bytes at the end of `text` that begin a UTF-8 character but do not
// complete it.
static size_t unfinishedCharacter(const unsigned char *text, size_t length)
{
    for (size_t back = 1; back <= 3 && back <= length; back++) {
        unsigned char c = text[length - back];
        if ((c & 0xC0) == 0x80)
            continue;   // a continuation byte: look further back
        size_t needs = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return needs > back ? back : 0;
    }
    return 0;
}

// UTF-8 on the console, decoded here (a byte that is no UTF-8 shows as
// U+FFFD).
static void writeConsoleUtf8(const unsigned char *text, size_t length)
{
    static WCHAR wide[sizeof partial + kBlockBytes];
    int chars = MultiByteToWideChar(CP_UTF8, 0, (const char *)text, (int)length, wide,
                                    (int)(sizeof wide / sizeof wide[0]));
    DWORD written;
    if (chars > 0)
        WriteConsoleW(screen, wide, (DWORD)chars, &written, nullptr);
}

// The device's bytes on the console, each character whole.
static void showOnConsole(const unsigned char *bytes, size_t count)
{
    static unsigned char joined[sizeof partial + kBlockBytes];
    while (count > 0) {
        size_t take = count < kBlockBytes ? count : kBlockBytes;
        std::memcpy(joined, partial, partialLength);
        std::memcpy(joined + partialLength, bytes, take);
        size_t length = partialLength + take;
        size_t keep = unfinishedCharacter(joined, length);
        writeConsoleUtf8(joined, length - keep);
        std::memcpy(partial, joined + length - keep, keep);
        partialLength = keep;
        bytes += take;
        count -= take;
    }
}

// Bytes on standard output, shown at once.
static void showBytes(const unsigned char *bytes, size_t count)
{
    if (count == 0)
        return;
    // What printf holds goes first, so the lines keep their order.
    fflush(stdout);
    if (screen != nullptr) {
        showOnConsole(bytes, count);
    } else {
        fwrite(bytes, 1, count, stdout);
        fflush(stdout);
    }
    lineOpen = bytes[count - 1] != '\n';
}

static void leave()
{
    // A character left unfinished by the device shows as what it is.
    if (screen != nullptr)
        writeConsoleUtf8(partial, partialLength);
    partialLength = 0;
    discardConsoleInput();
    consoleTerminalEnd();
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
    lineBusy = got >= kBusyBytes && got < (int)sizeof block;
    return true;
}

// Echoes one key and sends its bytes, paced, then shows what the device sent
// meanwhile. False when the port failed.
static bool sendKey(const unsigned char *bytes, size_t count)
{
    showBytes(bytes, count);
    return comWriteSlow(bytes, count) && showAvailable();
}

// The UTF-8 bytes of the character a console input record carries, in
// `bytes`: their number, 0 for a record that sends nothing (a key release, a
// cursor or function key, Shift, a mouse or focus event, the first half of a
// surrogate pair).
static size_t typedCharacter(const INPUT_RECORD &record, unsigned char *bytes)
{
    if (record.EventType != KEY_EVENT)
        return 0;
    const KEY_EVENT_RECORD &key = record.Event.KeyEvent;
    WCHAR c = key.uChar.UnicodeChar;
    // A character entered as Alt and its code on the numeric keypad comes
    // with the release of Alt.
    bool altCode = !key.bKeyDown && key.wVirtualKeyCode == VK_MENU;
    if ((!key.bKeyDown && !altCode) || c == 0)
        return 0;
    unsigned long code = c;
    if (c >= 0xD800 && c <= 0xDBFF) {
        highSurrogate = c;
        return 0;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) {
        if (highSurrogate == 0)
            return 0;   // half a character: nothing to send
        code = 0x10000ul + (((unsigned long)highSurrogate - 0xD800ul) << 10) + (c - 0xDC00ul);
    }
    highSurrogate = 0;
    if (code < 0x80) {
        bytes[0] = (unsigned char)code;
        return 1;
    }
    if (code < 0x800) {
        bytes[0] = (unsigned char)(0xC0 | (code >> 6));
        bytes[1] = (unsigned char)(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        bytes[0] = (unsigned char)(0xE0 | (code >> 12));
        bytes[1] = (unsigned char)(0x80 | ((code >> 6) & 0x3F));
        bytes[2] = (unsigned char)(0x80 | (code & 0x3F));
        return 3;
    }
    bytes[0] = (unsigned char)(0xF0 | (code >> 18));
    bytes[1] = (unsigned char)(0x80 | ((code >> 12) & 0x3F));
    bytes[2] = (unsigned char)(0x80 | ((code >> 6) & 0x3F));
    bytes[3] = (unsigned char)(0x80 | (code & 0x3F));
    return 4;
}

// The console input records waiting now (up to one batch), without waiting
// for any: their number.
static DWORD readConsoleRecords(INPUT_RECORD *records)
{
    DWORD waiting = 0, count = 0;
    if (!GetNumberOfConsoleInputEvents(keyInput, &waiting) || waiting == 0 ||
        !ReadConsoleInputW(keyInput, records, kRecordsPerPass, &count))
        return 0;
    return count;
}

// Takes the keys typed at the console so far: each echoed and sent as UTF-8,
// Enter as a line feed. Stops at 'x', or when the port fails or Ctrl-C came.
static int handleConsoleKeys()
{
    static INPUT_RECORD records[kRecordsPerPass];
    DWORD count = keysWaiting ? readConsoleRecords(records) : 0;
    keysWaiting = count > 0;
    for (DWORD i = 0; i < count; i++) {
        unsigned char bytes[4];
        size_t length = typedCharacter(records[i], bytes);
        if (length == 0)
            continue;
        if (length == 1 && bytes[0] == kExitKey)
            return BATCH_EXIT_KEY;
        // The device ends its lines on a line feed; Enter gives a carriage return.
        if (length == 1 && bytes[0] == kCarriageReturn)
            bytes[0] = kLineFeed;
        WORD repeat = records[i].Event.KeyEvent.wRepeatCount;
        for (WORD n = 0; n < (repeat > 0 ? repeat : 1); n++)
            if (!sendKey(bytes, length))
                return BATCH_PORT_FAILED;
        if (consoleInterrupted())
            return BATCH_INTERRUPTED;
    }
    if (count == 0)
        comPacingIdle();
    return BATCH_DONE;
}

// What a key from standard input sends, in *key. False when it sends nothing:
// the line feed of an input file's CR LF (Enter already went out for its
// carriage return).
static bool keyToSend(unsigned char *key)
{
    bool lineFeedAfterReturn = afterCarriageReturn && *key == kLineFeed;
    afterCarriageReturn = *key == kCarriageReturn;
    if (lineFeedAfterReturn)
        return false;
    if (*key == kCarriageReturn)
        *key = kLineFeed;
    return true;
}

// Takes the keys of standard input that are waiting, up to one batch: each
// echoed and sent, paced, with what the device sent meanwhile shown after it.
// Stops early at 'x', at the end of the input, or when the port fails.
static int handleScriptKeys()
{
    for (int taken = 0; taken < kKeysPerPass; taken++) {
        unsigned char key;
        int state = nextKey(&key);
        if (state == KEYS_NONE) {
            // No key is coming in: the paced writes may pause.
            if (taken == 0)
                comPacingIdle();
            break;
        }
        if (state == KEYS_ENDED)
            return BATCH_INPUT_ENDED;
        if (key == kExitKey)
            return BATCH_EXIT_KEY;
        if (keyToSend(&key) && !sendKey(&key, 1))
            return BATCH_PORT_FAILED;
        if (consoleInterrupted())
            return BATCH_INTERRUPTED;
    }
    return BATCH_DONE;
}

// Sleeps until there is something to do: a byte from the device, a key, Ctrl-C,
// or the next look at a pipe. A streaming device is left to fill a block.
// False when the port turned out to be gone.
static bool waitForWork()
{
    HANDLE handles[3];
    DWORD count = 0;
    handles[count++] = consoleInterruptEvent();
    if (keysFromConsole)
        handles[count++] = keyInput;
    DWORD timeout = kHeartbeatMs;
    if (!keysFromConsole)
        timeout = inputNext < inputLength || keyInputType != FILE_TYPE_PIPE ? 0 : kPipePollMs;
    if (keysWaiting)
        timeout = 0;   // a batch of keys was not the last of them
    if (lineBusy && timeout > kGatherMs) {
        keysWaiting |= WaitForMultipleObjects(count, handles, FALSE, kGatherMs) == WAIT_OBJECT_0 + 1;
        return true;
    }
    HANDLE port = comReadEvent();
    if (port != nullptr)
        handles[count++] = port;
    else if (timeout > kPipePollMs)
        timeout = kPipePollMs;   // the driver asked for a pause, or the port failed: look again soon
    DWORD woken = WaitForMultipleObjects(count, handles, FALSE, timeout);
    keysWaiting |= keysFromConsole && woken == WAIT_OBJECT_0 + 1;
    return woken != WAIT_TIMEOUT || !keysFromConsole || comOutputQueued() >= 0;
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
        if (now - last >= kQuietMs || now - ended >= kAfterInputMs || consoleInterrupted())
            return true;
        unsigned char first;
        int got = comReadByte(&first, kSliceMs);
        if (got == COM_READ_FAILED)
            return false;
        if (got == COM_READ_BYTE) {
            showBytes(&first, 1);
            if (!showAvailable())
                return false;
            last = GetTickCount64();
        }
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
// again (true), and watches the keys meanwhile. 'x' or Ctrl-C leaves (false);
// other keys are not sent, as there is no device to take them.
static bool waitForReturn()
{
    static INPUT_RECORD records[kRecordsPerPass];
    ULONGLONG lastTry = GetTickCount64();
    for (;;) {
        DWORD count = readConsoleRecords(records);
        for (DWORD i = 0; i < count; i++) {
            unsigned char bytes[4];
            if (typedCharacter(records[i], bytes) == 1 && bytes[0] == kExitKey)
                return false;
        }
        if (consoleInterrupted())
            return false;
        ULONGLONG since = GetTickCount64() - lastTry;
        if (since >= kReopenEveryMs) {
            lastTry = GetTickCount64();
            if (comReopen()) {
                printMessage(stderr, "COM port %s - connected.\n", comName());
                return true;
            }
            since = 0;
        }
        HANDLE handles[2] = { consoleInterruptEvent(), keyInput };
        WaitForMultipleObjects(2, handles, FALSE, (DWORD)(kReopenEveryMs - since));
    }
}

int terminalMode(bool discardTypedAhead)
{
    chooseKeySource();
    // Before the prompt: what is typed once it shows is meant for the device.
    if (discardTypedAhead)
        discardConsoleInput();
    consoleTerminalBegin();
    DWORD mode;
    screen =
        GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ? GetStdHandle(STD_OUTPUT_HANDLE) : nullptr;
    partialLength = 0;
    printf("Entering terminal mode. Press 'x' to exit.\n");
    fflush(stdout);
    lineOpen = false;
    lineBusy = false;
    keysWaiting = true;

    bool portThere = true;
    for (;;) {
        int keys = BATCH_PORT_FAILED;
        if (portThere && showAvailable())
            keys = keysFromConsole ? handleConsoleKeys() : handleScriptKeys();
        if (keys == BATCH_INPUT_ENDED && !showUntilQuiet())
            keys = BATCH_PORT_FAILED;
        if (keys == BATCH_DONE && consoleInterrupted())
            keys = BATCH_INTERRUPTED;
        if (keys == BATCH_PORT_FAILED) {
            lineLost();
            // A script cannot wait for the device to come back: its session broke.
            if (!keysFromConsole || !waitForReturn()) {
                leave();
                return keysFromConsole ? 0 : 1;
            }
            portThere = true;
            continue;
        }
        if (keys != BATCH_DONE) {
            leave();   // 'x', Ctrl-C, or the input has ended and the device is quiet
            return 0;
        }
        portThere = waitForWork();
    }
}
