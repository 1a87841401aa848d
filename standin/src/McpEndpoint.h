#pragma once
// The HTTP side of /mcp: token check, endpoint switch, slowness, planned
// breaks and the record of every request that was read completely.

#include "HttpServer.h"

class McpEndpoint : public IHttpHandler {
 public:
  const char* Name() const override { return "mcp"; }
  bool BreakAtAccept(bool& abortive) override;
  TBreakPlan PlanBreak(const THttpRequest& request) override;
  void Handle(const THttpRequest& request, THttpResponse& response) override;
};
