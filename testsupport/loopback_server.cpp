#include "testsupport/loopback_server.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <system_error>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorla::testing {

namespace {

// Every blocking wait is a poll of this length, so Stop() is noticed promptly.
constexpr int kPollMs = 50;
// A held answer never outlasts a test that forgot to open its gate.
constexpr int kGateTimeoutMs = 10000;
constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr uint64_t kMaxRequestBodyBytes = 256ull * 1024 * 1024;
constexpr size_t kFileReadBytes = 1024 * 1024;
// Bytes already sent before a deliberate reset must reach the client first, or it would see
// fewer than the test asked for; bounded, in case the client has stopped reading.
constexpr int kDrainBeforeResetMs = 2000;

enum class ReadResult { Ok, Closed, BadRequest, TooLarge, Unsupported };
enum class BodyResult { Done, Failed, Dropped };

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// "Connection: keep-alive, Upgrade" has the token "upgrade".
bool HasToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    if (EqualsIgnoringCase(Trim(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

bool HasHeader(const Response& response, std::string_view name) {
  return std::any_of(response.headers.begin(), response.headers.end(),
                     [&](const auto& header) { return EqualsIgnoringCase(header.first, name); });
}

std::string HeaderValue(const Response& response, std::string_view name) {
  for (const auto& [key, value] : response.headers)
    if (EqualsIgnoringCase(key, name)) return std::string(Trim(value));
  return {};
}

const char* StandardReason(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Unknown";
  }
}

Response TextResponse(int status, std::string text) {
  Response response;
  response.status = status;
  response.headers = {{"Content-Type", "text/plain"}};
  response.body = std::move(text);
  return response;
}

Response NotFoundResponse() {
  Response response;
  response.status = 404;
  response.headers = {{"Content-Type", "text/html"}};
  response.body = "<html><body><h1>404 Not Found</h1></body></html>\n";
  return response;
}

// Sends everything or reports failure (client gone, server stopping); never raises SIGPIPE.
bool SendAll(int fd, const char* data, size_t size, const std::atomic<bool>& stopping) {
  while (size > 0) {
    if (stopping) return false;
    pollfd p{fd, POLLOUT, 0};
    int ready = poll(&p, 1, kPollMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    ssize_t sent = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool SendAll(int fd, std::string_view text, const std::atomic<bool>& stopping) {
  return SendAll(fd, text.data(), text.size(), stopping);
}

// Appends whatever arrives next; false once the client has closed or the server stops.
bool ReceiveSome(int fd, std::string& buffer, const std::atomic<bool>& stopping) {
  char chunk[16 * 1024];
  while (!stopping) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, kPollMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got > 0) {
      buffer.append(chunk, static_cast<size_t>(got));
      return true;
    }
    if (got == 0) return false;
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
  }
  return false;
}

// End of the header block, just past its blank line; npos while incomplete. Bare LF is tolerated.
size_t FindHeaderEnd(const std::string& buffer) {
  size_t crlf = buffer.find("\r\n\r\n");
  size_t lf = buffer.find("\n\n");
  if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) return crlf + 4;
  if (lf != std::string::npos) return lf + 2;
  return std::string::npos;
}

// "http://www.vorla.example:8080/a?b" gives host "www.vorla.example:8080" and path "/a?b";
// "/a?b" keeps its path, and the host comes from the Host header.
void SplitTarget(Request& request) {
  const std::string& target = request.target;
  size_t schemeEnd = target.find("://");
  bool absolute = !target.empty() && target[0] != '/' && schemeEnd != std::string::npos &&
                  schemeEnd > 0 && std::all_of(target.begin(), target.begin() + static_cast<long>(schemeEnd),
                                               [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
  if (!absolute) {
    request.path = target;
    request.host = request.Header("Host");
    return;
  }
  size_t authorityStart = schemeEnd + 3;
  size_t authorityEnd = target.find_first_of("/?#", authorityStart);
  std::string authority = target.substr(authorityStart, authorityEnd - authorityStart);
  if (size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  request.host = authority;
  request.path = authorityEnd == std::string::npos ? "/" : target.substr(authorityEnd);
  if (!request.path.empty() && request.path[0] != '/') request.path.insert(0, "/");
}

// Reads one request (line, headers, Content-Length body) from buffer and then the socket.
// Bytes past the request stay in buffer for the next one on the connection.
ReadResult ReadRequest(int fd, std::string& buffer, Request& request, const std::atomic<bool>& stopping) {
  size_t headerEnd;
  for (;;) {
    // Stray blank lines before a request line are allowed and ignored.
    size_t start = buffer.find_first_not_of("\r\n");
    buffer.erase(0, start == std::string::npos ? buffer.size() : start);
    headerEnd = FindHeaderEnd(buffer);
    if (headerEnd != std::string::npos) break;
    if (buffer.size() > kMaxHeaderBytes) return ReadResult::TooLarge;
    if (!ReceiveSome(fd, buffer, stopping)) return ReadResult::Closed;
  }

  std::vector<std::string> lines;
  std::string_view head(buffer.data(), headerEnd);
  while (!head.empty()) {
    size_t newline = head.find('\n');
    std::string_view line = head.substr(0, newline);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    head.remove_prefix(newline == std::string_view::npos ? head.size() : newline + 1);
  }
  buffer.erase(0, headerEnd);

  // "GET /a HTTP/1.1": exactly three parts, single spaces.
  const std::string& requestLine = lines.front();
  size_t firstSpace = requestLine.find(' ');
  size_t lastSpace = requestLine.rfind(' ');
  if (firstSpace == std::string::npos || firstSpace == lastSpace) return ReadResult::BadRequest;
  request.method = requestLine.substr(0, firstSpace);
  request.target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
  request.version = requestLine.substr(lastSpace + 1);
  if (request.method.empty() || request.target.empty() || request.target.find(' ') != std::string::npos ||
      request.version.rfind("HTTP/", 0) != 0)
    return ReadResult::BadRequest;
  request.headerLines.assign(lines.begin() + 1, lines.end());
  SplitTarget(request);

  if (!request.Header("Transfer-Encoding").empty()) return ReadResult::Unsupported;
  uint64_t length = 0;
  if (std::string value = request.Header("Content-Length"); !value.empty()) {
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (error != std::errc() || end != value.data() + value.size()) return ReadResult::BadRequest;
    if (length > kMaxRequestBodyBytes) return ReadResult::TooLarge;
  }
  // Clients that ask first (curl does for large uploads) wait for this before sending the body.
  if (length > buffer.size() && HasToken(request.Header("Expect"), "100-continue") &&
      !SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n", stopping))
    return ReadResult::Closed;
  while (buffer.size() < length)
    if (!ReceiveSome(fd, buffer, stopping)) return ReadResult::Closed;
  request.body = buffer.substr(0, length);
  buffer.erase(0, length);
  return ReadResult::Ok;
}

// The body, from memory or from an open file.
struct BodySource {
  const std::string* text = nullptr;
  int fd = -1;
  uint64_t size = 0;
};

bool SendRange(int fd, const BodySource& source, uint64_t offset, uint64_t count,
               const std::atomic<bool>& stopping) {
  if (source.text) return SendAll(fd, source.text->data() + offset, count, stopping);
  std::vector<char> chunk(std::min<uint64_t>(count, kFileReadBytes));
  while (count > 0) {
    size_t want = std::min<uint64_t>(count, chunk.size());
    ssize_t got = pread(source.fd, chunk.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // the file shrank or failed: the client sees a short body
    if (!SendAll(fd, chunk.data(), static_cast<size_t>(got), stopping)) return false;
    offset += static_cast<uint64_t>(got);
    count -= static_cast<uint64_t>(got);
  }
  return true;
}

// Waits until the kernel has handed everything sent so far to the peer.
void DrainSendQueue(int fd, const std::atomic<bool>& stopping) {
  for (int waited = 0; waited < kDrainBeforeResetMs && !stopping; waited += 5) {
    int pending = 0;
    if (ioctl(fd, SIOCOUTQ, &pending) != 0 || pending == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// So a test can tell the server's threads from those of the code under test.
void NameThisThread() {
  pthread_setname_np(pthread_self(), "loopback");  // best effort: only the name is lost
}

// Makes the coming close() send RST instead of FIN.
void ArmReset(int fd) {
  linger abort{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);  // best effort: a FIN also ends it
}

}  // namespace

void Gate::Open() {
  {
    std::lock_guard lock(m_mutex);
    m_open = true;
  }
  m_opened.notify_all();
}

bool Gate::WaitOpen(int timeoutMs, const std::atomic<bool>& stopping) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock lock(m_mutex);
  // In slices: Stop() does not know of this gate.
  while (!m_open && !stopping && std::chrono::steady_clock::now() < deadline)
    m_opened.wait_for(lock, std::chrono::milliseconds(kPollMs));
  return m_open;
}

std::string Request::Header(std::string_view name) const {
  for (const std::string& line : headerLines) {
    size_t colon = line.find(':');
    if (colon != std::string::npos && EqualsIgnoringCase(Trim(std::string_view(line).substr(0, colon)), name))
      return std::string(Trim(std::string_view(line).substr(colon + 1)));
  }
  return {};
}

LoopbackServer::LoopbackServer(uint16_t port) {
  m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listenFd < 0) throw std::system_error(errno, std::generic_category(), "loopback server: socket");
  // The connections of an earlier server on the port may linger in TIME_WAIT.
  const int reuse = 1;
  setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);  // 0: the kernel picks a free port, so parallel tests never collide
  socklen_t length = sizeof address;
  if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(m_listenFd, SOMAXCONN) != 0 ||
      getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    int error = errno;
    close(m_listenFd);
    throw std::system_error(error, std::generic_category(), "loopback server: listen");
  }
  m_port = ntohs(address.sin_port);
  m_acceptThread = std::thread(&LoopbackServer::AcceptThreadProc, this);
}

LoopbackServer::~LoopbackServer() { Stop(); }

uint16_t LoopbackServer::Port() const { return m_port; }

std::string LoopbackServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(m_port); }

std::string LoopbackServer::Url(std::string_view path) const { return BaseUrl() + std::string(path); }

void LoopbackServer::Route(std::string path, Response response) {
  Route(std::move(path), Handler([response = std::move(response)](const Request&) { return response; }));
}

void LoopbackServer::Route(std::string path, Handler handler) {
  std::lock_guard lock(m_mutex);
  m_routes[std::move(path)] = std::move(handler);
}

void LoopbackServer::SetFallback(Handler handler) {
  std::lock_guard lock(m_mutex);
  m_fallback = std::move(handler);
}

std::vector<Request> LoopbackServer::Requests() const {
  std::lock_guard lock(m_mutex);
  return m_requests;
}

size_t LoopbackServer::RequestCount() const {
  std::lock_guard lock(m_mutex);
  return m_requests.size();
}

size_t LoopbackServer::ConnectionCount() const { return m_acceptedConnections; }

size_t LoopbackServer::OpenConnectionCount() const { return static_cast<size_t>(m_liveConnections.load()); }

bool LoopbackServer::WaitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return m_requests.size() >= count; });
}

void LoopbackServer::Stop() {
  {
    std::lock_guard lock(m_mutex);
    if (m_stopped) return;
    m_stopped = true;
    m_stopping = true;
  }
  m_changed.notify_all();
  if (m_acceptThread.joinable()) m_acceptThread.join();
  // The accept thread is gone, so its list of connections is ours now.
  for (Connection& connection : m_connections) connection.thread.join();
  m_connections.clear();
  close(m_listenFd);
  m_listenFd = -1;
}

bool LoopbackServer::PauseUnlessStopping(int ms) const {
  std::unique_lock lock(m_mutex);
  return !m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_stopping.load(); });
}

void LoopbackServer::ReapFinishedConnections() {
  auto finished = std::partition(m_connections.begin(), m_connections.end(),
                                 [](const Connection& connection) { return !*connection.finished; });
  for (auto it = finished; it != m_connections.end(); ++it) it->thread.join();
  m_connections.erase(finished, m_connections.end());
}

void LoopbackServer::AcceptThreadProc() {
  NameThisThread();
  while (!m_stopping) {
    ReapFinishedConnections();
    if (m_liveConnections >= kMaxConnections) {
      // Leave further clients in the listen backlog until a connection ends.
      std::unique_lock lock(m_mutex);
      m_changed.wait_for(lock, std::chrono::milliseconds(kPollMs));
      continue;
    }
    pollfd p{m_listenFd, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or a client that gave up: try again shortly rather than spin.
      PauseUnlessStopping(10);
      continue;
    }
    int on = 1;
    // Each piece must leave as soon as it is written, not wait for the next one.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // best effort: only timing suffers
    uint64_t connectionId = ++m_acceptedConnections;
    auto finished = std::make_shared<std::atomic<bool>>(false);
    ++m_liveConnections;
    try {
      m_connections.push_back(
          {std::thread(&LoopbackServer::ConnectionThreadProc, this, fd, connectionId, finished), finished});
    } catch (const std::system_error&) {
      // No thread to serve it: the client sees the connection closed.
      close(fd);
      --m_liveConnections;
    }
  }
}

void LoopbackServer::ConnectionThreadProc(int fd, uint64_t connectionId,
                                          std::shared_ptr<std::atomic<bool>> finished) {
  NameThisThread();
  std::string buffer;
  while (!m_stopping) {
    Request request;
    request.connectionId = connectionId;
    ReadResult result = ReadRequest(fd, buffer, request, m_stopping);
    if (result == ReadResult::Closed) break;
    if (result == ReadResult::Ok) {
      {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
      }
      m_changed.notify_all();
      if (!OnRequest(fd, request)) break;
      continue;
    }
    int status = result == ReadResult::TooLarge ? 413 : result == ReadResult::Unsupported ? 501 : 400;
    std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + StandardReason(status) +
                        "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    SendAll(fd, reply, m_stopping);  // best effort: the connection ends either way
    break;
  }
  close(fd);
  --m_liveConnections;
  *finished = true;
  m_changed.notify_all();
}

Handler LoopbackServer::FindHandler(const Request& request) const {
  std::lock_guard lock(m_mutex);
  auto route = m_routes.find(request.path);
  if (route == m_routes.end()) route = m_routes.find(request.path.substr(0, request.path.find('?')));
  if (route != m_routes.end()) return route->second;
  if (m_fallback) return m_fallback;
  return [](const Request&) { return NotFoundResponse(); };
}

void LoopbackServer::HoldUntilClientGoes(int fd) const {
  std::string discarded;
  while (ReceiveSome(fd, discarded, m_stopping)) discarded.clear();
}

bool LoopbackServer::OnRequest(int fd, const Request& request) {
  Response response;
  if (request.method == "CONNECT") {
    // No tunnels: the server only ever speaks plain HTTP.
    response = TextResponse(501, "CONNECT is not supported\n");
  } else {
    Handler handler = FindHandler(request);
    try {
      response = handler(request);
    } catch (...) {
      // A throwing handler must not end the test process from this thread.
      response = TextResponse(500, "handler threw\n");
    }
  }

  if (response.dropBeforeResponse) return false;
  if (response.stall) {
    HoldUntilClientGoes(fd);
    return false;
  }

  BodySource source{&response.body, -1, response.body.size()};
  int fileFd = -1;
  if (!response.bodyFile.empty()) {
    fileFd = open(response.bodyFile.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info{};
    if (fileFd >= 0 && fstat(fileFd, &info) == 0 && S_ISREG(info.st_mode)) {
      source = {nullptr, fileFd, static_cast<uint64_t>(info.st_size)};
    } else {
      if (fileFd >= 0) close(fileFd);
      fileFd = -1;
      response = TextResponse(500, "cannot open " + response.bodyFile + "\n");
      source = {&response.body, -1, response.body.size()};
    }
  }

  using Framing = Response::Framing;
  bool hasBody = response.status >= 200 && response.status != 204 && response.status != 304;
  bool sendBody = hasBody && request.method != "HEAD";
  std::string connectionHeader = request.Header("Connection");
  bool clientKeepsAlive = request.version == "HTTP/1.1" ? !HasToken(connectionHeader, "close")
                                                         : HasToken(connectionHeader, "keep-alive");
  bool keepAlive = clientKeepsAlive && request.method != "CONNECT" && response.framing != Framing::CloseDelimited &&
                   !response.stallAfterHeaders && response.dropAfterBodyBytes < 0 &&
                   !HasToken(HeaderValue(response, "Connection"), "close");

  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                     (response.reason.empty() ? StandardReason(response.status) : response.reason) + "\r\n";
  for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
  if (hasBody && response.framing == Framing::ContentLength) {
    if (!HasHeader(response, "Content-Length")) {
      head += "Content-Length: " + std::to_string(source.size) + "\r\n";
    } else if (HeaderValue(response, "Content-Length") != std::to_string(source.size)) {
      // A deliberately wrong length breaks the framing: end the connection after the body.
      keepAlive = false;
    }
  }
  if (hasBody && response.framing == Framing::Chunked && !HasHeader(response, "Transfer-Encoding"))
    head += "Transfer-Encoding: chunked\r\n";
  if (!keepAlive && !HasHeader(response, "Connection")) head += "Connection: close\r\n";
  head += "\r\n";

  BodyResult result = BodyResult::Done;
  if (!SendAll(fd, head, m_stopping)) {
    result = BodyResult::Failed;
  } else if (response.stallAfterHeaders) {
    HoldUntilClientGoes(fd);
    result = BodyResult::Failed;
  } else if (sendBody) {
    // Piece sizes past the end of the body are cut to it; the rest goes as one last piece.
    std::vector<uint64_t> pieces;
    uint64_t remaining = source.size;
    for (size_t piece : response.pieces) {
      if (remaining == 0) break;
      if (piece == 0) continue;
      pieces.push_back(std::min<uint64_t>(piece, remaining));
      remaining -= pieces.back();
    }
    if (remaining > 0) pieces.push_back(remaining);

    bool chunked = response.framing == Framing::Chunked;
    uint64_t allowed = response.dropAfterBodyBytes >= 0 ? static_cast<uint64_t>(response.dropAfterBodyBytes)
                                                        : source.size;
    uint64_t offset = 0;
    for (size_t i = 0; i < pieces.size() && result == BodyResult::Done; ++i) {
      if (i > 0 && response.pauseMs > 0 && !PauseUnlessStopping(response.pauseMs)) {
        result = BodyResult::Failed;
        break;
      }
      if (i + 1 == pieces.size() && response.holdLastPiece &&
          !response.holdLastPiece->WaitOpen(kGateTimeoutMs, m_stopping)) {
        result = BodyResult::Failed;
        break;
      }
      uint64_t count = std::min(pieces[i], allowed > offset ? allowed - offset : 0);
      char size[32];
      auto sizeEnd = std::to_chars(size, size + sizeof size, pieces[i], 16).ptr;
      if ((chunked && !SendAll(fd, std::string(size, sizeEnd) + "\r\n", m_stopping)) ||
          !SendRange(fd, source, offset, count, m_stopping)) {
        result = BodyResult::Failed;
      } else if (count < pieces[i]) {
        result = BodyResult::Dropped;
      } else if (chunked && !SendAll(fd, "\r\n", m_stopping)) {
        result = BodyResult::Failed;
      }
      offset += count;
    }
    if (result == BodyResult::Done && chunked && response.dropAfterBodyBytes < 0 &&
        !SendAll(fd, "0\r\n\r\n", m_stopping))
      result = BodyResult::Failed;
  }
  if (fileFd >= 0) close(fileFd);

  if (response.dropAfterBodyBytes >= 0 && result != BodyResult::Failed) {
    DrainSendQueue(fd, m_stopping);
    ArmReset(fd);
    return false;
  }
  return result == BodyResult::Done && keepAlive;
}

int CountRequests(const LoopbackServer& server, std::string_view path) {
  int count = 0;
  for (const Request& request : server.Requests())
    count += request.path == path;
  return count;
}

}  // namespace vorla::testing
