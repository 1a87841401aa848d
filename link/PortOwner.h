#pragma once
// Whether the endpoint's port still belongs to the CRM application that gave it.
// Loopback ports are machine-wide: on a shared machine another user's program
// may listen on a port the CRM application has let go, and must get nothing.

#include <cstdint>
#include <string>

// Empty while the program that takes connections to 127.0.0.1 on `port` is the
// process `crmProcessId`, or while the system names no owner; otherwise the
// sentence that says which program holds the port. It asks the system: call it
// on a worker.
std::string ForeignListener(std::int32_t port, std::uint32_t crmProcessId);
