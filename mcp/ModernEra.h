#pragma once
// MCP revision 2026-07-28, which has no initialize and no session: every line
// names its revision in params._meta, list changes come on subscriptions, and
// results say what they are. The bridge speaks it to its client, while the CRM
// application keeps the older revision. Each message is one line of JSON joined
// from fixed fragments; `id` is a request's id as raw JSON text.

#include <string>

// The revision that the line's params._meta names, as raw JSON text; empty for
// a line of the initialize era.
std::string ModernRevision(const std::string& line);
// The raw revision is one the bridge speaks.
bool SpeaksRevision(const std::string& rawRevision);
// The revision and the client's clientInfo, for the log.
std::string DescribeModernClient(const std::string& line, const std::string& rawRevision);

std::string MakeDiscoverReply(const std::string& id);
std::string MakeUnsupportedRevisionReply(const std::string& id, const std::string& rawRevision);
// The revision as the log and the error show it.
std::string ShownRevision(const std::string& rawRevision);

// A subscriptions/listen request asks for tool-list changes, the only ones the bridge sends.
bool AsksForToolListChanges(const std::string& line);
std::string MakeSubscriptionAcknowledged(const std::string& id, bool toolListChanges);
std::string MakeStampedListChangedNotice(const std::string& subscriptionId);

// Adds to a reply's "result" object what the revision requires of every result
// (resultType), who answers (_meta's serverInfo, as server/discover gives it)
// and, for lists and reads, that the client must not keep it (ttlMs 0): the list
// changes when the CRM application comes up. Members the result has stay as they
// are; every other byte of the reply stays too.
void CompleteModernResult(std::string& reply, const std::string& method);
// The CRM application's "resource not found" (-32002) is -32602 in this
// revision; every other error stays as it is.
void CompleteModernError(std::string& reply);
