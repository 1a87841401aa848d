#pragma once
// Whether the connection that is to carry the token leads to the CRM application
// that gave it. Loopback ports are machine-wide: on a shared machine another
// user's program may listen on a port the CRM application has let go, and must
// get nothing. The server side of this very connection is looked up, after it
// was made and before its first byte, so that no one can slip in between.

#include <cstdint>
#include <string>

#include "platform/Platform.h"

enum class OwnerLook {
  NotLooked,
  CrmApplication,  // its process, or the kernel's HTTP server
  Foreign,         // another program: nothing may go out on the connection
  NoOwners,        // the system names no owners (Wine): looking is of no use here
  NoRow,           // the tables hold no server side of the connection
  NoTable          // a table, or the connection's own address, cannot be read
};

struct TConnectionOwner {
  OwnerLook Look = OwnerLook::NotLooked;
  std::string Refusal;       // Foreign: the sentence that says which program holds the port
  std::uint32_t Error = 0;   // NoTable: the system's code
};

// On a worker, on the connection to 127.0.0.1:`port` that is to carry the token
// of the CRM application's process `crmProcessId`.
TConnectionOwner LookWhoOwns(OsHandle connection, std::uint16_t port, std::uint32_t crmProcessId);

// On the loop's thread. Whether a look is worth its cost: not once the system
// showed that it names no owners.
bool OwnerLookWorthIt();
// The log line that a look's outcome calls for: once per run for each kind of
// look that could not decide; empty otherwise.
std::string OwnerLookNote(const TConnectionOwner& owner, std::uint16_t port);
// Forgets what the looks showed, as at process start.
void ResetOwnerLooks();
