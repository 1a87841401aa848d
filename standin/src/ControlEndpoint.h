#pragma once
// The control listener: tests switch behaviours and read the record with
// plain GET requests; every answer is a small JSON object.

#include "HttpServer.h"

class ControlEndpoint : public IHttpHandler {
 public:
  ControlEndpoint(HttpListener& mcpListener, HWND mainWindow) : mcp_(mcpListener), mainWindow_(mainWindow) {}
  const char* Name() const override { return "control"; }
  void Handle(const THttpRequest& request, THttpResponse& response) override;

 private:
  HttpListener& mcp_;
  HWND mainWindow_;
};
