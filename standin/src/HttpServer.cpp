#include "HttpServer.h"

#include <cstdlib>

#include "Log.h"
#include "TextCodec.h"

namespace {

const size_t kMaxHead = 64 * 1024;
const DWORD kIdleTimeoutMs = 120000;

struct TConnection {
  SOCKET Socket;
  IHttpHandler* Handler;
  std::string Pending;  // bytes read beyond the current request
};

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    default: return "Status";
  }
}

void CloseConnection(SOCKET s, bool abortive) {
  if (abortive) {
    linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  } else {
    shutdown(s, SD_SEND);
  }
  closesocket(s);
}

bool SendAll(SOCKET s, const char* data, size_t size) {
  while (size > 0) {
    int chunk = size > 1 << 20 ? 1 << 20 : static_cast<int>(size);
    int n = send(s, data, chunk, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SendText(SOCKET s, const std::string& text) { return SendAll(s, text.data(), text.size()); }

// Reads until the head is complete; false when the peer closed or failed first.
bool ReadHead(TConnection& c, std::string& head) {
  char buffer[8192];
  while (true) {
    size_t end = c.Pending.find("\r\n\r\n");
    if (end != std::string::npos) {
      head = c.Pending.substr(0, end + 2);
      c.Pending.erase(0, end + 4);
      return true;
    }
    if (c.Pending.size() > kMaxHead) return false;
    int n = recv(c.Socket, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    c.Pending.append(buffer, static_cast<size_t>(n));
  }
}

bool ReadBody(TConnection& c, size_t length, std::string& body) {
  char buffer[65536];
  while (c.Pending.size() < length) {
    int n = recv(c.Socket, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    c.Pending.append(buffer, static_cast<size_t>(n));
  }
  body = c.Pending.substr(0, length);
  c.Pending.erase(0, length);
  return true;
}

bool ParseHead(const std::string& head, THttpRequest& r) {
  size_t lineEnd = head.find("\r\n");
  std::string first = head.substr(0, lineEnd);
  size_t a = first.find(' ');
  size_t b = first.rfind(' ');
  if (a == std::string::npos || b == a) return false;
  r.Method = first.substr(0, a);
  r.Target = first.substr(a + 1, b - a - 1);
  r.Version = first.substr(b + 1);
  size_t q = r.Target.find('?');
  r.Path = r.Target.substr(0, q);
  r.Query = q == std::string::npos ? std::string() : r.Target.substr(q + 1);
  size_t pos = lineEnd + 2;
  while (pos < head.size()) {
    size_t e = head.find("\r\n", pos);
    if (e == std::string::npos) e = head.size();
    std::string line = head.substr(pos, e - pos);
    pos = e + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    r.Headers.emplace_back(line.substr(0, colon), TrimText(line.substr(colon + 1)));
  }
  const std::string* connection = r.Header("Connection");
  bool http10 = r.Version == "HTTP/1.0";
  if (connection != nullptr) {
    std::string v = LowerUtf8(*connection);
    r.WantsClose = v.find("close") != std::string::npos || (http10 && v.find("keep-alive") == std::string::npos);
  } else {
    r.WantsClose = http10;
  }
  return true;
}

std::string StatusLine(int status) {
  return "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
}

std::string HeaderBlock(const THttpResponse& response, bool close) {
  std::string h;
  if (!response.Body.empty() || response.Status != 202) h += "Content-Type: " + response.ContentType + "\r\n";
  h += "Content-Length: " + std::to_string(response.Body.size()) + "\r\n";
  for (const std::string& extra : response.ExtraHeaders) h += extra + "\r\n";
  h += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
  h += "\r\n";
  return h;
}

void SendSimple(SOCKET s, int status, const std::string& body) {
  THttpResponse r;
  r.Status = status;
  r.Body = body;
  SendText(s, StatusLine(status) + HeaderBlock(r, true) + body);
}

DWORD WINAPI ConnectionThread(void* arg) {
  TConnection* c = static_cast<TConnection*>(arg);
  IHttpHandler& handler = *c->Handler;
  const char* name = handler.Name();
  DWORD timeout = kIdleTimeoutMs;
  setsockopt(c->Socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);

  bool abortive = false;
  if (handler.BreakAtAccept(abortive)) {
    LogLine("%s: breaking the connection right after accept", name);
    CloseConnection(c->Socket, abortive);
    delete c;
    return 0;
  }
  std::function<void()> afterSent;
  bool abortiveClose = false;
  while (true) {
    std::string head;
    if (!ReadHead(*c, head)) break;
    THttpRequest request;
    if (!ParseHead(head, request)) {
      SendSimple(c->Socket, 400, "{\"error\":\"bad request head\"}");
      break;
    }
    TBreakPlan plan = handler.PlanBreak(request);
    abortiveClose = plan.Abortive;
    if (plan.Step == BreakStep::Headers) {
      LogLine("%s: breaking the connection after the request head", name);
      break;
    }
    const std::string* te = request.Header("Transfer-Encoding");
    if (te != nullptr && !SameTextAscii(*te, "identity")) {
      SendSimple(c->Socket, 501, "{\"error\":\"chunked bodies are not supported\"}");
      break;
    }
    size_t length = 0;
    if (const std::string* cl = request.Header("Content-Length")) length = std::strtoul(cl->c_str(), nullptr, 10);
    const std::string* expect = request.Header("Expect");
    if (expect != nullptr && SameTextAscii(*expect, "100-continue") && c->Pending.size() < length) {
      SendText(c->Socket, "HTTP/1.1 100 Continue\r\n\r\n");
    }
    if (!ReadBody(*c, length, request.Body)) break;

    THttpResponse response;
    handler.Handle(request, response);
    afterSent = response.AfterSent;
    if (plan.Step == BreakStep::Body) {
      LogLine("%s: breaking the connection after reading the request", name);
      break;
    }
    bool close = request.WantsClose || response.Close;
    std::string status = StatusLine(response.Status);
    if (plan.Step == BreakStep::Status) {
      SendText(c->Socket, status);
      LogLine("%s: breaking the connection after the status line", name);
      break;
    }
    std::string headers = HeaderBlock(response, close);
    if (plan.Step == BreakStep::MidBody) {
      SendText(c->Socket, status + headers);
      SendAll(c->Socket, response.Body.data(), response.Body.size() / 2);
      LogLine("%s: breaking the connection in the middle of the body", name);
      break;
    }
    abortiveClose = false;
    // One write: a head sent apart from its body stalls a kept-alive client (Nagle
    // against delayed acknowledgement).
    if (!SendText(c->Socket, status + headers + response.Body)) break;
    if (close) break;
    if (afterSent) {
      afterSent();
      afterSent = nullptr;
    }
  }
  CloseConnection(c->Socket, abortiveClose);
  if (afterSent) afterSent();
  delete c;
  return 0;
}

}  // namespace

const std::string* THttpRequest::Header(const std::string& name) const {
  for (const auto& h : Headers) {
    if (SameTextAscii(h.first, name)) return &h.second;
  }
  return nullptr;
}

bool HttpListener::Start(int port, std::string& error) {
  if (thread_ != nullptr) return true;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    error = "socket failed (" + std::to_string(WSAGetLastError()) + ")";
    return false;
  }
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<u_short>(port));
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = "bind to 127.0.0.1:" + std::to_string(port) + " failed (" + std::to_string(WSAGetLastError()) + ")";
    closesocket(s);
    return false;
  }
  if (listen(s, SOMAXCONN) != 0) {
    error = "listen failed (" + std::to_string(WSAGetLastError()) + ")";
    closesocket(s);
    return false;
  }
  int len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  socket_ = s;
  stop_ = 0;
  thread_ = CreateThread(nullptr, 0, AcceptThread, this, 0, nullptr);
  if (thread_ == nullptr) {
    error = "CreateThread failed (" + std::to_string(GetLastError()) + ")";
    closesocket(s);
    socket_ = INVALID_SOCKET;
    return false;
  }
  return true;
}

void HttpListener::Stop() {
  if (thread_ == nullptr) return;
  InterlockedExchange(&stop_, 1);
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  thread_ = nullptr;
}

DWORD WINAPI HttpListener::AcceptThread(void* self) {
  static_cast<HttpListener*>(self)->AcceptLoop();
  return 0;
}

void HttpListener::AcceptLoop() {
  // Polling with select lets Stop close the socket from this thread, so no
  // accept is ever left blocked on a socket closed underneath it.
  while (InterlockedCompareExchange(&stop_, 0, 0) == 0) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval wait = {0, 100 * 1000};
    int ready = select(0, &readable, nullptr, nullptr, &wait);
    if (ready < 0) Sleep(50);
    if (ready <= 0) continue;
    SOCKET client = accept(socket_, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    TConnection* c = new TConnection{client, &handler_, std::string()};
    HANDLE t = CreateThread(nullptr, 0, ConnectionThread, c, 0, nullptr);
    if (t == nullptr) {
      closesocket(client);
      delete c;
    } else {
      CloseHandle(t);
    }
  }
  closesocket(socket_);
  socket_ = INVALID_SOCKET;
}
