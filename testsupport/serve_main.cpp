// vorla-test-server: the loopback test server as a program, for shell-driven tests and benchmarks.
//
//   vorla-test-server --port-file FILE [--route PATH=FILE]... [--route-status PATH=CODE]...
//                     [--root DIR] [--max-seconds N]
//
// Writes the port to FILE once listening, serves until SIGTERM or SIGINT, and gives up by itself
// after N seconds (default 900) so a forgotten server never outlives its test run.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <signal.h>
#include <sys/stat.h>

#include "testsupport/loopback_server.h"

namespace {

using vorla::testing::LoopbackServer;
using vorla::testing::Request;
using vorla::testing::Response;

constexpr const char* kUsage =
    "usage: vorla-test-server --port-file FILE [--route PATH=FILE]... [--route-status PATH=CODE]...\n"
    "                         [--root DIR] [--max-seconds N]\n";

int Usage(const char* message) {
  std::fprintf(stderr, "vorla-test-server: %s\n%s", message, kUsage);
  return 2;
}

// "/update.xml=/tmp/a=b.xml" splits at the first '=': route "/update.xml", value "/tmp/a=b.xml".
bool SplitAssignment(std::string_view text, std::string& path, std::string& value) {
  size_t equals = text.find('=');
  if (equals == std::string_view::npos || equals == 0 || text[0] != '/') return false;
  path = text.substr(0, equals);
  value = text.substr(equals + 1);
  return !value.empty();
}

std::string ContentTypeFor(std::string_view file) {
  auto endsWith = [&](std::string_view suffix) {
    return file.size() >= suffix.size() && file.substr(file.size() - suffix.size()) == suffix;
  };
  if (endsWith(".xml")) return "text/xml";
  if (endsWith(".html") || endsWith(".htm")) return "text/html";
  if (endsWith(".txt")) return "text/plain";
  return "application/octet-stream";
}

Response FileResponse(const std::string& file) {
  Response response;
  response.bodyFile = file;
  response.headers = {{"Content-Type", ContentTypeFor(file)}};
  return response;
}

bool IsRegularFile(const std::string& file) {
  struct stat info{};
  return stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "/dir/a%20b.bin?x=1" under root "/srv" is "/srv/dir/a b.bin"; any ".." segment (also
// written "%2e%2e") or an embedded NUL gives an empty result, so nothing outside root is served.
std::string FileUnderRoot(const std::string& root, std::string_view path) {
  path = path.substr(0, path.find_first_of("?#"));
  std::string decoded;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && HexValue(path[i + 1]) >= 0 && HexValue(path[i + 2]) >= 0) {
      decoded += static_cast<char>(HexValue(path[i + 1]) * 16 + HexValue(path[i + 2]));
      i += 2;
    } else {
      decoded += path[i];
    }
  }
  if (decoded.empty() || decoded[0] != '/' || decoded.find('\0') != std::string::npos) return {};
  for (size_t start = 1; start <= decoded.size();) {
    size_t end = decoded.find('/', start);
    if (end == std::string::npos) end = decoded.size();
    if (decoded.compare(start, end - start, "..") == 0 && end - start == 2) return {};
    start = end + 1;
  }
  return root + decoded;
}

}  // namespace

int main(int argc, char** argv) {
  std::string portFile, root;
  long maxSeconds = 900;
  std::vector<std::pair<std::string, Response>> routes;
  for (int i = 1; i < argc; ++i) {
    std::string_view option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) return Usage("missing value after an option");
    std::string_view value = argv[++i];
    std::string path, target;
    if (option == "--port-file") {
      portFile = value;
    } else if (option == "--root") {
      root = value;
      while (root.size() > 1 && root.back() == '/') root.pop_back();
    } else if (option == "--max-seconds") {
      char* end = nullptr;
      maxSeconds = std::strtol(argv[i], &end, 10);
      if (*end != '\0' || maxSeconds <= 0) return Usage("--max-seconds needs a positive number");
    } else if (option == "--route") {
      if (!SplitAssignment(value, path, target)) return Usage("--route needs PATH=FILE");
      if (!IsRegularFile(target)) {
        std::fprintf(stderr, "vorla-test-server: cannot read %s\n", target.c_str());
        return 2;
      }
      routes.emplace_back(path, FileResponse(target));
    } else if (option == "--route-status") {
      if (!SplitAssignment(value, path, target)) return Usage("--route-status needs PATH=CODE");
      Response response;
      response.status = std::atoi(target.c_str());
      if (response.status < 100 || response.status > 999) return Usage("--route-status needs a code 100-999");
      response.headers = {{"Content-Type", "text/plain"}};
      response.body = "status " + target + "\n";
      routes.emplace_back(path, response);
    } else {
      return Usage("unknown option");
    }
  }
  if (portFile.empty()) return Usage("--port-file is required");

  // Blocked before the server starts its threads, so only sigtimedwait below ever takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  try {
    LoopbackServer server;
    for (auto& [path, response] : routes) server.Route(path, response);
    if (!root.empty()) {
      server.SetFallback([root](const Request& request) {
        std::string file = FileUnderRoot(root, request.path);
        if (file.empty() || !IsRegularFile(file)) {
          Response notFound;
          notFound.status = 404;
          notFound.headers = {{"Content-Type", "text/plain"}};
          notFound.body = "not found\n";
          return notFound;
        }
        return FileResponse(file);
      });
    }

    // Written whole under another name first, so a script polling for the file never reads half of it.
    std::string partial = portFile + ".partial";
    {
      std::ofstream out(partial, std::ios::trunc);
      out << server.Port() << "\n";
      if (!out.flush()) {
        std::fprintf(stderr, "vorla-test-server: cannot write %s\n", partial.c_str());
        return 1;
      }
    }
    if (std::rename(partial.c_str(), portFile.c_str()) != 0) {
      std::fprintf(stderr, "vorla-test-server: cannot write %s: %s\n", portFile.c_str(), std::strerror(errno));
      return 1;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
    for (;;) {
      if (std::chrono::steady_clock::now() >= deadline) {
        std::fprintf(stderr, "vorla-test-server: stopping after %ld seconds\n", maxSeconds);
        break;
      }
      timespec wait{1, 0};
      if (sigtimedwait(&stopSignals, nullptr, &wait) >= 0) break;
    }
    server.Stop();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vorla-test-server: %s\n", error.what());
    return 1;
  }
  return 0;
}
