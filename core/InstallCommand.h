#pragma once
// -install and -uninstall: the bridge adds itself to the MCP clients of the
// current Windows user, or takes itself out, and ends. Nothing is read from
// standard input, so a script can run them for every user.

// -install or -uninstall is one of the arguments, and not the value of -dir or -mcp.
bool InstallCommandGiven();
// Runs it, with the report on standard output; returns the exit code.
int RunInstallCommand();
