// Test helper (Windows): runs a program in a console and types scripted keys
// into that console, the way a user at the keyboard would, then exits with the
// program's exit status.
//
//   serbolt2_keys.exe [-left] [-screen TEXT] LIMIT_MS SCRIPT PROGRAM [ARG...]
//
// The program gets a new console of its own and the helper attaches to it to
// type. It is created with CREATE_NO_WINDOW: Wine (8.0) gives such a process a
// working headless console, while a CREATE_NEW_CONSOLE console needs a display
// and, without one, refuses WriteConsoleInputA (invalid handle). Standard
// output and error of the program are the helper's own.
// SCRIPT: each character is one key (a key-down and a key-up record), typed
// 50 ms apart. Escapes: \r Enter, \n, \\, \xNN the character U+00NN, \uHHHH
// the UTF-16 unit HHHH (a surrogate pair as two, one key record each);
// {^C} Ctrl-C as typed; {i} types each byte of the helper's standard input
// as a key the moment it is read, until it ends; {vk:HH} a key without a
// character (a cursor or function key) by its virtual-key code in hex, such
// as {vk:26} for the Up arrow; {p}...{/p} is a paste: all its keys go into the console in one write;
// {w} waits until no key press is left in the console's input (the program
// took or discarded them all); {?TEXT} (with -screen) waits until TEXT shows on
// the console's last lines; {f:PATH} waits until the file PATH exists (the
// test's go-ahead). A wait that outlasts LIMIT_MS fails the helper.
// -left: once the program has ended, "keys: N input events left, code page P"
// on standard error tells what it left in its console's input and the
// console's output code page.
// -screen TEXT: the program's standard handles are its console instead; the
// helper watches the console for TEXT while the program runs, writes
// "keys: saw LINE" with the first line that showed it (the same on two looks
// in a row), and at the end copies the console's lines to its own standard
// output.
// The program is ended after LIMIT_MS; the helper then exits with 124.
// Exit 125: the helper itself failed (message on standard error).
#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <cstdlib>
#include <cstring>
#include <string>

static const DWORD kKeyGapMs = 50;
static const DWORD kAttachTries = 100;
static const DWORD kAttachPauseMs = 10;
static const DWORD kScreenPollMs = 5;
static const SHORT kScreenRowsWatched = 6;
static const int kTimedOut = 124;
static const int kHelperFailed = 125;

static int fail(const char *what)
{
    fprintf(stderr, "keys: %s failed (error %lu)\n", what, GetLastError());
    return kHelperFailed;
}

// Quotes one argument for CreateProcess the way the C runtime splits it again.
static void appendQuoted(std::string &line, const char *arg)
{
    line += '"';
    size_t backslashes = 0;
    for (const char *p = arg; *p; p++) {
        if (*p == '\\') {
            backslashes++;
            continue;
        }
        if (*p == '"')
            line.append(backslashes * 2 + 1, '\\');
        else
            line.append(backslashes, '\\');
        backslashes = 0;
        line += *p;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

static const size_t kMaxPasteKeys = 4096;

// The key-down and key-up records of one key.
static void keyRecords(INPUT_RECORD *rec, WCHAR ch, WORD virtualKey, DWORD controls = 0)
{
    WORD scan = (WORD)MapVirtualKeyW(virtualKey, 0);
    std::memset(rec, 0, 2 * sizeof *rec);
    for (int i = 0; i < 2; i++) {
        rec[i].EventType = KEY_EVENT;
        rec[i].Event.KeyEvent.bKeyDown = i == 0;
        rec[i].Event.KeyEvent.wRepeatCount = 1;
        rec[i].Event.KeyEvent.wVirtualKeyCode = virtualKey;
        rec[i].Event.KeyEvent.wVirtualScanCode = scan;
        rec[i].Event.KeyEvent.uChar.UnicodeChar = ch;
        rec[i].Event.KeyEvent.dwControlKeyState = controls;
    }
}

static bool writeRecords(HANDLE in, const INPUT_RECORD *rec, DWORD count)
{
    DWORD written = 0;
    return count == 0 || (WriteConsoleInputW(in, rec, count, &written) && written == count);
}

static WORD virtualKeyOf(WCHAR ch)
{
    if (ch == '\r' || ch == '\n')
        return VK_RETURN;
    SHORT vk = VkKeyScanW(ch);
    return vk == -1 ? 0 : (WORD)(vk & 0xff);
}

static bool typeKey(HANDLE in, WCHAR ch, WORD virtualKey, DWORD controls = 0)
{
    INPUT_RECORD rec[2];
    keyRecords(rec, ch, virtualKey, controls);
    return writeRecords(in, rec, 2);
}

// The helper's own standard input, taken before it moves to the program's console.
static HANDLE helperInput = INVALID_HANDLE_VALUE;

// {i}: every byte of standard input typed as a key as soon as it is read.
static bool typeStandardInput(HANDLE in)
{
    unsigned char typed;
    DWORD got = 0;
    while (ReadFile(helperInput, &typed, 1, &got, nullptr) && got == 1)
        if (!typeKey(in, typed, virtualKeyOf(typed)))
            return false;
    return true;
}

static INPUT_RECORD paste[2 * kMaxPasteKeys];
static HANDLE screen = INVALID_HANDLE_VALUE;  // the program's console, with -screen
static bool screenShows(HANDLE out, const std::string &text, std::string *line = nullptr);

// Waits until the program has taken or thrown away every key typed so far. Only key presses count:
// the C runtime's _kbhit leaves the key-up records that follow the last key in the input.
static bool waitInputEmpty(HANDLE in, ULONGLONG deadline)
{
    static INPUT_RECORD pending[2 * kMaxPasteKeys];
    for (;;) {
        DWORD count = 0;
        if (!PeekConsoleInputA(in, pending, 2 * kMaxPasteKeys, &count))
            return false;
        bool keyWaiting = false;
        for (DWORD i = 0; i < count; i++)
            keyWaiting |= pending[i].EventType == KEY_EVENT && pending[i].Event.KeyEvent.bKeyDown;
        if (!keyWaiting)
            return true;
        if (GetTickCount64() > deadline)
            return false;
        Sleep(10);
    }
}

// False when typing failed or a wait of the script outlasted `deadline`.
static bool typeScript(HANDLE in, const char *script, ULONGLONG deadline)
{
    bool pasting = false;
    DWORD pasted = 0;
    for (const char *p = script; *p; p++) {
        WCHAR ch = (unsigned char)*p;
        // Ctrl-C, or the end of a paste (all its keys in one write); then the gap of a key.
        if (std::strncmp(p, "{^C}", 4) == 0 || std::strncmp(p, "{/p}", 4) == 0) {
            if (p[1] == '^' ? !typeKey(in, 3, 'C', LEFT_CTRL_PRESSED) : !writeRecords(in, paste, pasted))
                return false;
            pasting = pasting && p[1] == '^';
            pasted = pasting ? pasted : 0;
            p += 3;
            Sleep(kKeyGapMs);
            continue;
        }
        if (p[0] == '{' && (p[1] == 'p' || p[1] == 'w' || p[1] == 'i') && p[2] == '}') {
            if (p[1] == 'p')
                pasting = true;
            else if (p[1] == 'w' ? !waitInputEmpty(in, deadline) : !typeStandardInput(in))
                return false;
            p += 2;
            continue;
        }
        // {f:PATH} and {?TEXT}: waits for a file or for a text on the screen.
        if (std::strncmp(p, "{f:", 3) == 0 || std::strncmp(p, "{?", 2) == 0) {
            const bool file = p[1] == 'f';
            const char *end = std::strchr(p, '}');
            if (end == nullptr || (!file && screen == INVALID_HANDLE_VALUE))
                return false;
            std::string text(p + (file ? 3 : 2), end);
            while (file ? GetFileAttributesA(text.c_str()) == INVALID_FILE_ATTRIBUTES
                        : !screenShows(screen, text)) {
                if (GetTickCount64() > deadline)
                    return false;
                Sleep(10);
            }
            p = end;
            continue;
        }
        WORD virtualKey = 0;
        if (std::strncmp(p, "{vk:", 4) == 0) {
            // A key without a character (a cursor or function key), by its virtual-key code.
            virtualKey = (WORD)strtoul(p + 4, (char **)&p, 16);
            ch = 0;
        }
        if (ch == '\\' && p[1]) {
            p++;
            switch (*p) {
            case 'r': ch = '\r'; break;
            case 'n': ch = '\n'; break;
            case 'x':
            case 'u': {
                size_t digits = *p == 'x' ? 2 : 4;
                char hex[5] = {0, 0, 0, 0, 0};
                for (size_t i = 0; i < digits && p[1]; i++)
                    hex[i] = *++p;
                ch = (WCHAR)strtoul(hex, nullptr, 16);
                break;
            }
            default: ch = *p; break;
            }
        }
        if (virtualKey == 0)
            virtualKey = virtualKeyOf(ch);
        if (pasting) {
            if (pasted == 2 * kMaxPasteKeys)
                return false;
            keyRecords(paste + pasted, ch, virtualKey);
            pasted += 2;
            continue;
        }
        if (!typeKey(in, ch, virtualKey))
            return false;
        Sleep(kKeyGapMs);
    }
    return true;
}

// Line `row` of the console's screen buffer as UTF-8, without its trailing blanks.
static std::string screenLine(HANDLE out, SHORT row, SHORT width)
{
    std::wstring wide((size_t)width, L' ');
    DWORD got = 0;
    COORD at = {0, row};
    if (!ReadConsoleOutputCharacterW(out, &wide[0], (DWORD)width, at, &got))
        return "";
    std::string line(4 * (size_t)got + 1, '\0');
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), (int)got, &line[0], (int)line.size(), nullptr,
                                    nullptr);
    line.resize(bytes > 0 ? (size_t)bytes : 0);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\0'))
        line.pop_back();
    return line;
}

// True when `text` is on the cursor's line or one of the few lines above it;
// `line` (when given) receives that line.
static bool screenShows(HANDLE out, const std::string &text, std::string *line)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(out, &info))
        return false;
    SHORT cursor = info.dwCursorPosition.Y;
    for (SHORT row = cursor > kScreenRowsWatched ? cursor - kScreenRowsWatched : 0; row <= cursor; row++) {
        std::string shown = screenLine(out, row, info.dwSize.X);
        if (shown.find(text) != std::string::npos) {
            if (line != nullptr)
                *line = shown;
            return true;
        }
    }
    return false;
}

static void copyScreen(HANDLE out)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(out, &info))
        return;
    for (SHORT row = 0; row <= info.dwCursorPosition.Y; row++)
        printf("%s\n", screenLine(out, row, info.dwSize.X).c_str());
}

int main(int argc, char *argv[])
{
    // Lines of the helper's own end in LF, as the program's do.
    _setmode(_fileno(stdout), _O_BINARY);
    // The helper shares the program's console: Ctrl-C and Ctrl-Break are the program's to handle.
    SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
    helperInput = GetStdHandle(STD_INPUT_HANDLE);
    bool reportLeft = false;
    const char *watch = nullptr;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; first++) {
        if (std::strcmp(argv[first], "-left") == 0)
            reportLeft = true;
        else if (std::strcmp(argv[first], "-screen") == 0 && first + 1 < argc)
            watch = argv[++first];
        else
            break;
    }
    if (argc - first < 3) {
        fprintf(stderr, "usage: serbolt2_keys.exe [-left] [-screen TEXT] LIMIT_MS SCRIPT PROGRAM [ARG...]\n");
        return kHelperFailed;
    }
    DWORD limitMs = (DWORD)strtoul(argv[first], nullptr, 10);
    const char *script = argv[first + 1];

    std::string line;
    for (int i = first + 2; i < argc; i++) {
        if (i > first + 2)
            line += ' ';
        appendQuoted(line, argv[i]);
    }

    // The program writes where the helper writes: make both handles inheritable.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(err, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (watch == nullptr) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = nullptr;
        si.hStdOutput = out;
        si.hStdError = err;
    }
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, watch == nullptr, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
        return fail("CreateProcess");

    // Leave the helper's console and type into the program's own. The console
    // may not exist yet right after CreateProcess: retry for up to a second.
    FreeConsole();
    DWORD tries = 0;
    while (!AttachConsole(pi.dwProcessId)) {
        if (++tries == kAttachTries) {
            TerminateProcess(pi.hProcess, kHelperFailed);
            return fail("AttachConsole");
        }
        Sleep(kAttachPauseMs);
    }
    HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
    screen = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE || (watch != nullptr && screen == INVALID_HANDLE_VALUE)) {
        TerminateProcess(pi.hProcess, kHelperFailed);
        return fail("opening CONIN$/CONOUT$");
    }

    ULONGLONG start = GetTickCount64();
    if (!typeScript(in, script, start + limitMs)) {
        TerminateProcess(pi.hProcess, kHelperFailed);
        WaitForSingleObject(pi.hProcess, INFINITE);
        if (watch != nullptr)
            copyScreen(screen);
        return fail("typing the script (or waiting in it)");
    }
    bool saw = false;
    std::string last_seen;
    bool ended = false;
    for (;;) {
        ULONGLONG spent = GetTickCount64() - start;
        if (spent >= limitMs)
            break;
        DWORD left = limitMs - (DWORD)spent;
        DWORD wait = watch != nullptr && left > kScreenPollMs ? kScreenPollMs : left;
        if (WaitForSingleObject(pi.hProcess, wait) == WAIT_OBJECT_0) {
            ended = true;
            break;
        }
        // The line as two looks in a row saw it: a look while the console redraws
        // it may catch it half written.
        std::string seen;
        if (watch != nullptr && !saw && screenShows(screen, watch, &seen) && seen == last_seen) {
            saw = true;
            printf("keys: saw %s\n", seen.c_str());
            fflush(stdout);
        }
        last_seen = seen;
    }
    if (!ended) {
        TerminateProcess(pi.hProcess, kTimedOut);
        WaitForSingleObject(pi.hProcess, INFINITE);
        fprintf(stderr, "keys: program ended after %lu ms\n", limitMs);
        return kTimedOut;
    }
    if (watch != nullptr)
        copyScreen(screen);
    if (reportLeft) {
        DWORD pending = 0;
        GetNumberOfConsoleInputEvents(in, &pending);
        fprintf(stderr, "keys: %lu input events left, code page %u\n", pending, GetConsoleOutputCP());
    }
    DWORD status = kHelperFailed;
    GetExitCodeProcess(pi.hProcess, &status);
    return (int)status;
}
