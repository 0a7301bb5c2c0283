// Benchmark peer (Windows): the plainest programs that do serbolt2's two
// terminal jobs, to measure it against under the same Wine.
//
//   serbolt2_plain.exe read PORT   the port's bytes to standard output, read
//                                  in blocks of 4 KB, until it is ended
//   serbolt2_plain.exe keys PORT   each key typed at the console to the port,
//                                  looked for with _kbhit every millisecond,
//                                  until 'x'
//
// PORT is opened as it is given (\\.\COM7), 921600 8N1, no flow control.
#include <windows.h>

#include <conio.h>
#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc != 3 || (std::strcmp(argv[1], "read") != 0 && std::strcmp(argv[1], "keys") != 0)) {
        fprintf(stderr, "usage: serbolt2_plain.exe read|keys PORT\n");
        return 2;
    }
    HANDLE port = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts = {};  // a read waits for all it asked for
    if (port == INVALID_HANDLE_VALUE || !GetCommState(port, &dcb)) {
        fprintf(stderr, "plain: cannot open %s (error %lu)\n", argv[2], GetLastError());
        return 1;
    }
    dcb.BaudRate = 921600;
    dcb.ByteSize = 8;
    dcb.StopBits = ONESTOPBIT;
    dcb.Parity = NOPARITY;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    if (!SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts)) {
        fprintf(stderr, "plain: cannot configure %s (error %lu)\n", argv[2], GetLastError());
        return 1;
    }

    if (argv[1][0] == 'r') {
        static char block[4096];
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD got = 0, written = 0;
        while (ReadFile(port, block, sizeof block, &got, nullptr) && got > 0)
            WriteFile(out, block, got, &written, nullptr);
        return 0;
    }
    printf("plain: ready\n");
    fflush(stdout);
    for (;;) {
        while (_kbhit()) {
            char key = (char)_getch();
            if (key == 'x')
                return 0;
            DWORD written = 0;
            WriteFile(port, &key, 1, &written, nullptr);
        }
        Sleep(1);
    }
}
