#pragma once
// -install and -uninstall: the bridge adds itself to the MCP clients of the
// current Windows user, or takes itself out, and ends. Nothing is read from
// standard input, so a script can run them for every user.

#include "install/Clients.h"

// -install or -uninstall is one of the arguments, and not the value of -dir or -mcp.
bool InstallCommandGiven();
// Runs it, with the report on standard output; returns the exit code.
int RunInstallCommand();
// The entry for this exe and its command line: -dir (or the exe's own folder),
// made absolute, and -mcp.
TInstallation InstallationFor(bool uninstall);
