// Console terminal: device output to the screen, keys to the device.
#pragma once

// Runs until the user presses 'x'. The port stays open.
void terminalMode();
