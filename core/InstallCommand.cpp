#include "core/InstallCommand.h"

#include <vector>

#include "common/ConsoleText.h"
#include "core/CommandLine.h"
#include "install/Clients.h"
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

int RunInstallCommand() {
  const TInstallResult result = RunInstallation(
      InstallationFor(GivenCommand() == TCommand::Uninstall, GetCrmFolder(), GetMcpKey()));
  ShowToUser(Os().StdHandle(StdStream::Output), result.Report);
  return result.ExitCode;
}
