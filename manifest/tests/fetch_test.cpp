#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "manifest/manifest.h"
#include "testsupport/loopback_server.h"

namespace {

using vorla::testing::LoopbackServer;
using vorla::testing::Response;

const char kManifest[] =
    "<?xml version=\"1.0\"?><update><version>3.0.0.8</version>"
    "<url>http://www.vorla.example/vorla.exe</url></update>";

// Direct requests to 127.0.0.1 must not wander off to a proxy from the
// environment of whoever runs the tests.
class FetchTest : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("http_proxy");
    unsetenv("HTTP_PROXY");
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
  }
  LoopbackServer server;
};

TEST_F(FetchTest, SuccessReturnsStatusAndBody) {
  server.Route("/pcupdate/update.xml", Response{.body = kManifest});
  std::string body = "stale";
  EXPECT_EQ(vorla::FetchManifest(body, server.Url("/pcupdate/update.xml")), 200);
  EXPECT_EQ(body, kManifest);
}

TEST_F(FetchTest, RequestOnTheWireIsExact) {
  server.Route("/pcupdate/update.xml", Response{.body = kManifest});
  std::string body;
  ASSERT_EQ(vorla::FetchManifest(body, server.Url("/pcupdate/update.xml")), 200);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/pcupdate/update.xml");
  EXPECT_EQ(requests[0].version, "HTTP/1.1");
  const std::vector<std::string> expected = {
      "Host: 127.0.0.1:" + std::to_string(server.Port()),
      "Accept: text/xml",
      "Cache-Control: no-cache",
  };
  EXPECT_EQ(requests[0].headerLines, expected);  // no User-Agent, nothing else
}

TEST_F(FetchTest, BuiltInHostIsReachedThroughTheEnvironmentProxy) {
  server.Route("/pcupdate/update.xml", Response{.body = kManifest});
  setenv("http_proxy", server.BaseUrl().c_str(), 1);
  std::string body;
  EXPECT_EQ(vorla::FetchManifest(body), 200);
  EXPECT_EQ(body, kManifest);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "http://www.vorla.example/pcupdate/update.xml");
  EXPECT_EQ(requests[0].host, "www.vorla.example");
  EXPECT_EQ(vorla::ManifestUrl(), "http://www.vorla.example/pcupdate/update.xml");
}

TEST_F(FetchTest, StatusesOutside2xxAreFailedFetches) {
  for (int status : {204, 206, 299, 301, 302, 304, 404, 500, 503}) {
    SCOPED_TRACE(status);
    Response response{.status = status, .body = status == 204 || status == 304 ? "" : kManifest};
    if (status / 100 == 3)
      response.headers = {{"Location", server.Url("/elsewhere")}};
    server.Route("/m", response);
    server.Route("/elsewhere", Response{.body = kManifest});
    std::string body;
    const int result = vorla::FetchManifest(body, server.Url("/m"));
    EXPECT_EQ(result, status);
    EXPECT_EQ(vorla::IsSuccessStatus(result), status / 100 == 2);
  }
  // Redirections are answered, never followed.
  for (const auto& request : server.Requests())
    EXPECT_NE(request.path, "/elsewhere");
}

TEST_F(FetchTest, IsSuccessStatusBounds) {
  for (int status : {-1, 0, 100, 199, 300, 404})
    EXPECT_FALSE(vorla::IsSuccessStatus(status)) << status;
  for (int status : {200, 204, 299})
    EXPECT_TRUE(vorla::IsSuccessStatus(status)) << status;
}

TEST_F(FetchTest, BodyFramingsAreAssembled) {
  const std::string text(100000, 'x');
  struct Row {
    const char* name;
    Response response;
  } rows[] = {
      {"chunked", Response{.body = text, .framing = Response::Framing::Chunked}},
      {"close_delimited", Response{.body = text, .framing = Response::Framing::CloseDelimited}},
      {"pieces", Response{.body = text, .pieces = {1, 10, 5000}, .pauseMs = 30}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    server.Route("/m", row.response);
    std::string body;
    EXPECT_EQ(vorla::FetchManifest(body, server.Url("/m")), 200);
    EXPECT_EQ(body, text);
  }
}

TEST_F(FetchTest, IncompleteTransfersGiveMinusOne) {
  struct Row {
    const char* name;
    Response response;
  } rows[] = {
      {"dropped_before_response", Response{.dropBeforeResponse = true}},
      {"dropped_mid_body", Response{.body = std::string(5000, 'x'), .dropAfterBodyBytes = 100}},
      {"short_body", Response{.headers = {{"Content-Length", "500"}}, .body = "abc",
                              .framing = Response::Framing::CloseDelimited}},
      // More than a manifest can be: ends the transfer instead of filling memory.
      {"oversized", Response{.body = std::string(1024 * 1024 + 1, 'x')}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    server.Route("/m", row.response);
    std::string body;
    EXPECT_EQ(vorla::FetchManifest(body, server.Url("/m")), -1);
  }
  server.Route("/m", Response{.body = std::string(1024 * 1024, 'x')});
  std::string body;
  EXPECT_EQ(vorla::FetchManifest(body, server.Url("/m")), 200);
  EXPECT_EQ(body.size(), 1024u * 1024u);
}

// A manifest may name any URL; only http and https are fetched. An FTP client
// would sit waiting for this HTTP server's greeting; a file would be read.
TEST_F(FetchTest, OnlyHttpAndHttpsAreFetched) {
  char name[] = "/tmp/vorla-fetch-test-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, kManifest, sizeof kManifest - 1), static_cast<ssize_t>(sizeof kManifest - 1));
  close(fd);
  const std::string port = std::to_string(server.Port());
  for (const std::string& url : {"file://" + std::string(name), "ftp://127.0.0.1:" + port + "/m",
                                "scp://127.0.0.1:" + port + "/m", "smb://127.0.0.1:" + port + "/m"}) {
    SCOPED_TRACE(url);
    std::string body;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vorla::FetchManifest(body, url), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(body, "");
  }
  unlink(name);
  EXPECT_EQ(server.ConnectionCount(), 0u);
}

// The transfer runs on a worker thread: it must leave the process's signal
// handling alone (libcurl otherwise ignores SIGPIPE around each transfer).
TEST_F(FetchTest, LeavesSignalHandlingAlone) {
  server.Route("/m", Response{.stall = true});
  std::atomic<int> stop{0};
  std::string body;
  std::thread fetcher([&] { vorla::FetchManifest(body, server.Url("/m"), stop); });
  ASSERT_TRUE(server.WaitForRequests(1, 10000));
  struct sigaction during {};
  sigaction(SIGPIPE, nullptr, &during);
  stop = 1;
  fetcher.join();
  EXPECT_EQ(during.sa_handler, SIG_DFL);
}

TEST_F(FetchTest, RefusedConnectionFailsAtOnce) {
  std::string url;
  {
    LoopbackServer gone;
    url = gone.Url("/pcupdate/update.xml");
  }
  std::string body;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vorla::FetchManifest(body, url), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(FetchTest, StopFlagEndsAStalledFetch) {
  server.Route("/m", Response{.stall = true});
  std::atomic<int> stop{0};
  std::thread quitter([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = 1;
  });
  std::string body;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vorla::FetchManifest(body, server.Url("/m"), stop), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  quitter.join();

  // Unset, the flag changes nothing.
  std::atomic<int> running{0};
  server.Route("/m", Response{.body = kManifest});
  EXPECT_EQ(vorla::FetchManifest(body, server.Url("/m"), running), 200);
  EXPECT_EQ(body, kManifest);
}

// The real 30 s limit: a server that accepts and then says nothing.
TEST_F(FetchTest, StalledServerTimesOutAfterThirtySeconds) {
  server.Route("/m", Response{.headers = {{"Content-Length", "100"}}, .stallAfterHeaders = true});
  std::string body;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vorla::FetchManifest(body, server.Url("/m")), -1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::seconds(29));
  EXPECT_LT(elapsed, std::chrono::seconds(40));
}

}  // namespace
