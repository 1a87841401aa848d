#include "core/InstallCommand.h"

#include <vector>

#include "common/Encodings.h"
#include "core/CommandLine.h"
#include "core/ManualStart.h"
#include "platform/Platform.h"

namespace {
enum class TCommand { None, Install, Uninstall };

TCommand GivenCommand() {
  const std::vector<std::string> args = Os().CommandLineArguments();
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (Os().SameTextIgnoreCase(args[i - 1], "-dir") || Os().SameTextIgnoreCase(args[i - 1], "-mcp")) continue;
    if (Os().SameTextIgnoreCase(args[i], "-install")) return TCommand::Install;
    if (Os().SameTextIgnoreCase(args[i], "-uninstall")) return TCommand::Uninstall;
  }
  return TCommand::None;
}
}  // namespace

bool InstallCommandGiven() { return GivenCommand() != TCommand::None; }

TInstallation InstallationFor(bool uninstall) {
  TInstallation installation;
  installation.Uninstall = uninstall;
  const std::vector<std::string> args = Os().CommandLineArguments();
  installation.Exe = args.empty() ? std::string() : args[0];
  // The client starts the bridge from a folder of its own choosing.
  std::string folder = GetCrmFolder();
  const std::u16string full = Os().FullPathName(Utf8ToWide(folder));
  if (!folder.empty() && !full.empty()) folder = WideToUtf8(full);
  // A final backslash before the closing quote of a Windows command line would escape it.
  while (!folder.empty() && folder.back() == '\\') folder.pop_back();
  installation.Folder = folder;
  installation.Key = GetMcpKey();
  return installation;
}

int RunInstallCommand() {
  const TInstallResult result = RunInstallation(InstallationFor(GivenCommand() == TCommand::Uninstall));
  ShowToUser(Os().StdHandle(StdStream::Output), result.Report);
  return result.ExitCode;
}
