#pragma once
// A small HTTP/1.1 server on 127.0.0.1: one accepting thread per listener and
// one thread per connection. The handler decides the answers and where a
// connection is to break on purpose.

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "State.h"

struct THttpRequest {
  std::string Method, Target, Path, Query, Version;
  std::vector<std::pair<std::string, std::string>> Headers;  // as received, in order
  std::string Body;
  bool WantsClose = false;

  // Value of the first header of that name (any case), or nullptr.
  const std::string* Header(const std::string& name) const;
};

struct THttpResponse {
  int Status = 200;
  std::string ContentType = "application/json";
  std::string Body;
  std::vector<std::string> ExtraHeaders;  // whole lines without CR LF
  bool Close = false;
  std::function<void()> AfterSent;  // runs once the connection is closed
};

struct TBreakPlan {
  BreakStep Step = BreakStep::None;
  bool Abortive = false;
};

class IHttpHandler {
 public:
  virtual ~IHttpHandler() = default;
  virtual const char* Name() const = 0;
  // True to drop a new connection before reading anything.
  virtual bool BreakAtAccept(bool& abortive) {
    (void)abortive;
    return false;
  }
  // Asked once the request head is read.
  virtual TBreakPlan PlanBreak(const THttpRequest& request) {
    (void)request;
    return TBreakPlan();
  }
  // Called once the whole request is read.
  virtual void Handle(const THttpRequest& request, THttpResponse& response) = 0;
};

class HttpListener {
 public:
  explicit HttpListener(IHttpHandler& handler) : handler_(handler) {}
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  // Binds 127.0.0.1:port (0 = any free port) and starts accepting.
  bool Start(int port, std::string& error);
  // Closes the listening socket; connections already accepted go on.
  void Stop();
  int Port() const { return port_; }
  bool Running() const { return thread_ != nullptr; }

 private:
  static DWORD WINAPI AcceptThread(void* self);
  void AcceptLoop();

  IHttpHandler& handler_;
  SOCKET socket_ = INVALID_SOCKET;
  HANDLE thread_ = nullptr;
  volatile LONG stop_ = 0;
  int port_ = 0;
};
