// Console terminal: device output to the screen, keys to the device.
#pragma once

// Runs until the user presses 'x', or, with keys from standard input that is
// not a console, until that input ends and the device has been quiet for
// 0.5 s (5 s after the end at most). A port that fails is reopened by its
// name while the user waits. `discardTypedAhead` throws away console input
// typed before the terminal started (during an upload). Returns the exit
// status: 0, or 1 when the port was lost with keys from standard input. The
// port is left open when it is there.
int terminalMode(bool discardTypedAhead);
