// Console terminal: one polling loop that reads at most one byte from the port
// (waiting up to the port's read time-out) and then handles at most one key.
#include "terminal.h"

#include "com.h"

#include <conio.h>
#include <cstdio>

static const unsigned char kExitKey = 'x';
// _getch gives 0 (or 0xE0) before the second value of a function or cursor key.
static const unsigned char kExtendedKeyPrefix = 0;
static const unsigned char kCarriageReturn = '\r';
static const unsigned char kLineFeed = '\n';

void terminalMode()
{
    printf("Entering terminal mode. Press 'x' to exit.\n");
    for (;;) {
        unsigned char received;
        if (comReadByte(&received)) {
            putchar(received);
            fflush(stdout);
        }

        if (!_kbhit())
            continue;
        unsigned char key = (unsigned char)_getch();
        if (key == kExitKey) {
            printf("\nExiting terminal mode.\n");
            return;
        }
        if (key == kExtendedKeyPrefix)
            continue;
        // The device ends its lines on a line feed; Enter gives a carriage return.
        if (key == kCarriageReturn)
            key = kLineFeed;
        printf("%c", key);
        comWriteSlow(&key, 1);
    }
}
