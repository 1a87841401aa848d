#pragma once

// The process from start to end; returns the exit code: 0 after the client
// closed its input, 2 when started by hand (no standard streams, or a console
// as input), 3 without the proxy window. -install and -uninstall give their own.
int RunBridge();
