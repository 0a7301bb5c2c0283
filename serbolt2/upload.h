// File upload to the device and the wait for its replies.
#pragma once

// Uploads the local file `filename` to the device path `outpath` (both UTF-8;
// the path goes on the wire as it is): the filecopy command, the Ready reply,
// size line, destination line, payload, then the Data received reply. 0 on
// success, 1 on any failure (after printing why).
int uploadFile(const char *filename, const char *outpath);

// 1 once `reply` occurs in what arrived since the call began (zero bytes
// included), 0 on time-out or after 255 characters without it, after saying
// what the device sent instead.
int comWaitForTime(const char *reply, double seconds);
int comWaitFor(const char *reply);
