// Test helper (Windows): runs a program in a console and types scripted keys
// into that console, the way a user at the keyboard would, then exits with the
// program's exit status.
//
//   serbolt2_keys.exe LIMIT_MS SCRIPT PROGRAM [ARG...]
//
// The program gets a new console of its own and the helper attaches to it to
// type. It is created with CREATE_NO_WINDOW: Wine (8.0) gives such a process a
// working headless console, while a CREATE_NEW_CONSOLE console needs a display
// and, without one, refuses WriteConsoleInputA (invalid handle). Standard
// output and error of the program are the helper's own.
// SCRIPT: each character is one key (a key-down and a key-up record), typed
// 50 ms apart. Escapes: \r Enter, \n, \\, \xNN a byte; {N} is a pause of N ms.
// The program is ended after LIMIT_MS; the helper then exits with 124.
// Exit 125: the helper itself failed (message on standard error).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const DWORD kKeyGapMs = 50;
static const DWORD kAttachTries = 100;
static const DWORD kAttachPauseMs = 10;
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

static bool typeKey(HANDLE in, char ch, WORD virtualKey)
{
    WORD scan = (WORD)MapVirtualKeyA(virtualKey, 0);
    INPUT_RECORD rec[2];
    std::memset(rec, 0, sizeof rec);
    for (int i = 0; i < 2; i++) {
        rec[i].EventType = KEY_EVENT;
        rec[i].Event.KeyEvent.bKeyDown = i == 0;
        rec[i].Event.KeyEvent.wRepeatCount = 1;
        rec[i].Event.KeyEvent.wVirtualKeyCode = virtualKey;
        rec[i].Event.KeyEvent.wVirtualScanCode = scan;
        rec[i].Event.KeyEvent.uChar.AsciiChar = ch;
    }
    DWORD written = 0;
    return WriteConsoleInputA(in, rec, 2, &written) && written == 2;
}

static WORD virtualKeyOf(char ch)
{
    if (ch == '\r' || ch == '\n')
        return VK_RETURN;
    SHORT vk = VkKeyScanA(ch);
    return vk == -1 ? 0 : (WORD)(vk & 0xff);
}

static bool typeScript(HANDLE in, const char *script)
{
    for (const char *p = script; *p; p++) {
        char ch = *p;
        if (ch == '{') {
            Sleep((DWORD)strtoul(p + 1, (char **)&p, 10));
            continue;  // p is at the closing brace
        }
        if (ch == '\\' && p[1]) {
            p++;
            switch (*p) {
            case 'r': ch = '\r'; break;
            case 'n': ch = '\n'; break;
            case 'x': {
                char hex[3] = {p[1], p[1] ? p[2] : (char)0, 0};
                ch = (char)strtoul(hex, nullptr, 16);
                p += std::strlen(hex);
                break;
            }
            default: ch = *p; break;
            }
        }
        if (!typeKey(in, ch, virtualKeyOf(ch)))
            return false;
        Sleep(kKeyGapMs);
    }
    return true;
}

int main(int argc, char *argv[])
{
    if (argc < 4) {
        fprintf(stderr, "usage: serbolt2_keys.exe LIMIT_MS SCRIPT PROGRAM [ARG...]\n");
        return kHelperFailed;
    }
    DWORD limitMs = (DWORD)strtoul(argv[1], nullptr, 10);
    const char *script = argv[2];

    std::string line;
    for (int i = 3; i < argc; i++) {
        if (i > 3)
            line += ' ';
        appendQuoted(line, argv[i]);
    }

    // The program writes where the helper writes: make both handles inheritable.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(err, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi;
    std::memset(&pi, 0, sizeof pi);
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &si, &pi))
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
    if (in == INVALID_HANDLE_VALUE) {
        TerminateProcess(pi.hProcess, kHelperFailed);
        return fail("opening CONIN$");
    }

    ULONGLONG start = GetTickCount64();
    if (!typeScript(in, script)) {
        TerminateProcess(pi.hProcess, kHelperFailed);
        return fail("WriteConsoleInputA");
    }
    ULONGLONG spent = GetTickCount64() - start;
    DWORD left = spent >= limitMs ? 0 : limitMs - (DWORD)spent;
    if (WaitForSingleObject(pi.hProcess, left) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, kTimedOut);
        WaitForSingleObject(pi.hProcess, INFINITE);
        fprintf(stderr, "keys: program ended after %lu ms\n", limitMs);
        return kTimedOut;
    }
    DWORD status = kHelperFailed;
    GetExitCodeProcess(pi.hProcess, &status);
    return (int)status;
}
