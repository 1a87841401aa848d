#pragma once
// Every message the bridge writes on its own, each one line of JSON joined from
// fixed fragments. `id` is the request's id as raw JSON text; texts are UTF-8.

#include <cstdint>
#include <string>

std::string MakeErrorReply(const std::string& id, const std::string& message);
std::string MakeInitializeReply(const std::string& line, const std::string& id);
std::string MakePlaceholderToolList(const std::string& id);
std::string MakeNotConnectedResult(const std::string& id, const std::string& reason);
std::string MakeListChangedNotice();
std::string MakeConnectedResult(const std::string& id);
// The CRM application answers with one body and cannot say it still works: the
// bridge does, on the client's progress token (raw JSON), `seconds` after the request went out.
std::string MakeProgressNotice(const std::string& token, std::uint32_t seconds);
// JSON-RPC's answer to a line that is no JSON: its id cannot be known.
std::string MakeParseErrorReply();
// MCP requires an empty result for ping, also while the CRM application is away.
std::string MakePingReply(const std::string& id);
