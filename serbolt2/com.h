// COM port link: the one serial port of serbolt2, opened by name on a
// process-wide handle. Its I/O is overlapped, so that the terminal can wait
// for the device and the keyboard at once; every call here but
// comReadEvent() waits for the I/O it starts.
#pragma once

#include <windows.h>

#include <cstddef>

extern HANDLE comHandle;   // INVALID_HANDLE_VALUE while no port is open
extern DWORD comError;     // system error code of the last failed read or write

// Outcomes of comReadByte.
enum { COM_READ_FAILED = -1, COM_READ_NOTHING = 0, COM_READ_BYTE = 1 };

// Opens and configures the port named `device` (UTF-8; a bare COMn, or COMn:
// as `mode` shows it, is opened as \\.\COMn): 921600 8N1, no flow control, fixed time-outs, DTR/RTS pulsed
// low, buffers purged. False after printing its own message, the system's
// reason included; nothing stays open.
bool comOpen(const char *device);
// Opens the port of the last comOpen again with the same settings, printing
// nothing. False while it cannot be opened (the device is still gone).
bool comReopen();
// The name the port was opened under, as it was given.
const char *comName();
// Closes the port if it is open (and ends the paced writes' fine timer); safe
// to call twice.
void comClose();
void comPurge();

// One byte, waiting up to `waitMs` for it: COM_READ_BYTE, COM_READ_NOTHING,
// or COM_READ_FAILED (the port failed, comError says why: the adapter was
// pulled out, the device went away). A read that did not end in time stays
// under way, and its byte is the next one taken.
int comReadByte(unsigned char *received, DWORD waitMs);
// An event that is signalled once a byte is there to take (the read is
// started when none is under way), for waits beside other handles; null when
// no read could be started (comReadByte then says why, or the driver asked
// for a pause).
HANDLE comReadEvent();
// What the device has sent and the driver holds, up to `size` bytes, without
// waiting: the number of bytes read (0 when none wait), or -1 when the port
// failed (comError says why).
int comReadAvailable(unsigned char *buffer, size_t size);
// The bytes written that have not left the port yet (the driver's output
// queue), or -1 when the port cannot say.
int comOutputQueued();
// Writes the whole buffer, in pieces small enough that a line which stops
// taking bytes is noticed: false when a write fails or no byte has gone out
// for 10 s (comError says why; ERROR_TIMEOUT for the stall).
bool comWrite(const void *data, size_t count);
// One byte per WriteFile, each followed by a 1 ms pause, with the system's
// timer at 1 ms for it. Stops at the first byte that fails; true when all
// were written.
bool comWriteSlow(const void *data, size_t count);
// comWrite of the string without its terminator.
bool comWriteString(const char *text);
// The paced writes are over for now: the system's timer goes back to its
// usual resolution (it stays fine from one paced write to the next).
void comPacingIdle();
