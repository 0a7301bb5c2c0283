// COM port link: the one serial port of serbolt2, opened by name and driven
// with synchronous Win32 calls on a process-wide handle.
#pragma once

#include <windows.h>

#include <cstddef>

extern HANDLE comHandle;

// Opens and configures the port (921600 8N1, fixed time-outs, DTR/RTS pulsed
// low, buffers purged). False after printing its own message; nothing stays open.
bool comOpen(const char *device);
void comClose();
void comPurge();

// One byte within the read time-outs (about 60 ms when nothing comes).
bool comReadByte(unsigned char *byte);
// One WriteFile of the whole buffer; the outcome is not looked at.
void comWrite(const void *data, size_t count);
// One byte per WriteFile, each followed by a 1 ms pause.
void comWriteSlow(const void *data, size_t count);
// comWrite of the string without its terminator.
void comWriteString(const char *text);
