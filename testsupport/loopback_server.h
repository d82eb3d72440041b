#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vorla::testing {

// One parsed request, as received.
struct Request {
  std::string method{}, target{}, version{};  // target as on the request line (absolute URI in proxy use)
  std::string path{};                     // path part of target ("/pcupdate/update.xml?x=1"), query kept
  std::string host{};                     // from the absolute URI, else the Host header; port kept if given
  std::vector<std::string> headerLines{}; // every header line after the request line, in order, without CRLF
  std::string body{};
  uint64_t connectionId = 0;              // 1 for the first accepted connection, 2 for the next, ...

  // Value of the first header with this name (any case), blanks trimmed; empty when absent.
  std::string Header(std::string_view name) const;
};

// A latch a test opens to release an answer held on it (Response::holdLastPiece). Any thread.
class Gate {
 public:
  void Open();
  // True once open; false after timeoutMs without, or as soon as `stopping` is set.
  bool WaitOpen(int timeoutMs, const std::atomic<bool>& stopping) const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_opened;
  bool m_open = false;
};

// What a route answers. The defaults give an ordinary 200 with Content-Length; every member has a
// default so designated initializers may name only what a test changes.
struct Response {
  int status = 200;
  std::string reason{};                   // empty: a standard reason for the status
  std::vector<std::pair<std::string, std::string>> headers{};  // extra headers, in order
  std::string body{};
  std::string bodyFile{};                 // when set, the body is streamed from this file (500 if it cannot be opened)
  enum class Framing { ContentLength, CloseDelimited, Chunked } framing = Framing::ContentLength;
  std::vector<size_t> pieces{};           // send the body in these piece sizes (rest in one piece; a chunk each) ...
  int pauseMs = 0;                        // ... with this pause between pieces
  std::shared_ptr<Gate> holdLastPiece{};  // the last piece (the whole body without pieces) waits for it, 10 s at most
  bool stall = false;                     // read the request, then send nothing until the client or server ends
  bool stallAfterHeaders = false;         // send status + headers, then nothing more
  long dropAfterBodyBytes = -1;           // >=0: send headers and that many body bytes, then reset the connection
  bool dropBeforeResponse = false;        // read the request, close without answering (the client sees an empty reply)
};

using Handler = std::function<Response(const Request&)>;

// An HTTP/1.1 server on 127.0.0.1 with a kernel-chosen port, for tests.
// Built and stopped on the test's thread; accepts on its own thread and serves each connection on
// another (at most kMaxConnections at once), each thread named "loopback". Cancel by join: Stop()
// joins every thread it started.
//
// A request line with an absolute URI ("GET http://www.vorla.example/a HTTP/1.1") is answered like
// its path, whatever the host, so the server also works as the http_proxy of a program with built-in
// host names. CONNECT is answered 501. HEAD gets the headers of the GET answer without a body;
// 1xx, 204 and 304 answers never carry a body.
class LoopbackServer {
 public:
  static constexpr int kMaxConnections = 64;

  // Listens before returning, on `port` (0: one the kernel picks); throws
  // std::system_error if no socket can be had. A port another server gave up
  // brings a server back at the same address.
  explicit LoopbackServer(uint16_t port = 0);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  uint16_t Port() const;
  std::string BaseUrl() const;                   // "http://127.0.0.1:PORT"
  std::string Url(std::string_view path) const;  // BaseUrl() + path

  // Exact match on the path with its query; failing that, on the path without it.
  // Any host, so proxy-style absolute URIs reach the same routes. A later Route replaces an earlier one.
  void Route(std::string path, Response response);
  void Route(std::string path, Handler handler);
  void SetFallback(Handler handler);             // default: 404 with a short HTML body

  std::vector<Request> Requests() const;         // every request, in arrival order (logged before it is answered)
  size_t RequestCount() const;
  size_t ConnectionCount() const;                // connections accepted so far
  size_t OpenConnectionCount() const;            // accepted and not yet closed (by either side)
  // True once at least count requests have arrived; false after timeoutMs without.
  bool WaitForRequests(size_t count, int timeoutMs) const;

  // Closes every connection and joins every thread within about 50 ms (plus whatever a handler
  // still running takes). Idempotent; the destructor calls it. Not from inside a handler.
  void Stop();

 private:
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  void AcceptThreadProc();
  void ConnectionThreadProc(int fd, uint64_t connectionId, std::shared_ptr<std::atomic<bool>> finished);
  // Answers one request; false when the connection must end afterwards.
  bool OnRequest(int fd, const Request& request);
  Handler FindHandler(const Request& request) const;
  void ReapFinishedConnections();
  // Sleeps up to ms, returning early (false) when the server stops.
  bool PauseUnlessStopping(int ms) const;
  // Keeps the connection open, discarding input, until the client closes or the server stops.
  void HoldUntilClientGoes(int fd) const;

  int m_listenFd = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stopping{false};
  std::atomic<int> m_liveConnections{0};
  std::atomic<uint64_t> m_acceptedConnections{0};
  std::thread m_acceptThread;
  std::vector<Connection> m_connections;  // owned by the accept thread until it is joined

  mutable std::mutex m_mutex;             // guards the members below
  mutable std::condition_variable m_changed;  // a request was logged, a connection ended, or Stop() began
  std::map<std::string, Handler> m_routes;
  Handler m_fallback;
  std::vector<Request> m_requests;
  bool m_stopped = false;
};

// Requests that `server` has had for exactly this path (query included).
int CountRequests(const LoopbackServer& server, std::string_view path);

}  // namespace vorla::testing
