#include "testsupport/loopback_server.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <curl/curl.h>
#include <gtest/gtest.h>

namespace {

using vorla::testing::LoopbackServer;
using vorla::testing::Request;
using vorla::testing::Response;
using Clock = std::chrono::steady_clock;

struct CurlEasyDeleter { void operator()(CURL* h) const { curl_easy_cleanup(h); } };
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct Fetched {
  CURLcode code = CURLE_OK;
  long status = 0;
  long newConnections = 0;
  int writes = 0;
  std::string headers, body;
};

size_t OnBody(char* data, size_t size, size_t count, void* target) {
  auto* fetched = static_cast<Fetched*>(target);
  ++fetched->writes;
  fetched->body.append(data, size * count);
  return size * count;
}

size_t OnHeader(char* data, size_t size, size_t count, void* target) {
  static_cast<Fetched*>(target)->headers.append(data, size * count);
  return size * count;
}

CurlEasy MakeEasy() {
  CurlEasy easy(curl_easy_init());
  curl_easy_setopt(easy.get(), CURLOPT_PROXY, "");  // never an environment proxy: loopback only
  curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);  // some tests fetch from a second thread
  return easy;
}

Fetched Perform(CURL* easy, const std::string& url, long timeoutMs = 5000) {
  Fetched fetched;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &fetched);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &fetched);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs);  // every test wait is bounded
  fetched.code = curl_easy_perform(easy);
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &fetched.status);
  curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &fetched.newConnections);
  return fetched;
}

Fetched Fetch(const std::string& url, long timeoutMs = 5000) { return Perform(MakeEasy().get(), url, timeoutMs); }

long MsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(LoopbackServer, AnswersRoutesAndLogsRequestsAsReceived) {
  LoopbackServer server;
  server.Route("/update.xml", Response{.headers = {{"X-Build", "42"}}, .body = "<v>3.0.0.10</v>"});
  Fetched ok = Fetch(server.Url("/update.xml?t=1"));
  EXPECT_EQ(ok.code, CURLE_OK);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "<v>3.0.0.10</v>");
  EXPECT_NE(ok.headers.find("X-Build: 42\r\nContent-Length: 15\r\n"), std::string::npos) << ok.headers;
  EXPECT_EQ(Fetch(server.Url("/elsewhere")).status, 404);

  CurlEasy post = MakeEasy();
  curl_slist* lines = curl_slist_append(curl_slist_append(nullptr, "X-First: 1"), "X-Second: 2");
  curl_easy_setopt(post.get(), CURLOPT_HTTPHEADER, lines);
  curl_easy_setopt(post.get(), CURLOPT_POSTFIELDS, "a=1&b=2");
  EXPECT_EQ(Perform(post.get(), server.Url("/form?x=1")).status, 404);
  curl_slist_free_all(lines);

  ASSERT_TRUE(server.WaitForRequests(3, 1000));
  EXPECT_FALSE(server.WaitForRequests(4, 100));
  Request form = server.Requests().at(2);
  EXPECT_EQ(form.method, "POST");
  EXPECT_EQ(form.target, "/form?x=1");
  EXPECT_EQ(form.path, "/form?x=1");
  EXPECT_EQ(form.host, "127.0.0.1:" + std::to_string(server.Port()));
  EXPECT_EQ(form.body, "a=1&b=2");
  auto first = std::find(form.headerLines.begin(), form.headerLines.end(), "X-First: 1");
  auto second = std::find(form.headerLines.begin(), form.headerLines.end(), "X-Second: 2");
  EXPECT_TRUE(first < second && second != form.headerLines.end());
}

TEST(LoopbackServer, ActsAsProxyForAnyHostButRefusesTunnels) {
  LoopbackServer server;
  server.Route("/pcupdate/update.xml", Response{.body = "manifest"});
  CurlEasy easy = MakeEasy();
  curl_easy_setopt(easy.get(), CURLOPT_PROXY, server.BaseUrl().c_str());
  curl_easy_setopt(easy.get(), CURLOPT_NOPROXY, "");  // no environment exception for the made-up host
  Fetched fetched = Perform(easy.get(), "http://www.vorla.example/pcupdate/update.xml");
  EXPECT_EQ(fetched.code, CURLE_OK);
  EXPECT_EQ(fetched.body, "manifest");
  Request request = server.Requests().at(0);
  EXPECT_EQ(request.target, "http://www.vorla.example/pcupdate/update.xml");
  EXPECT_EQ(request.host, "www.vorla.example");
  EXPECT_EQ(request.path, "/pcupdate/update.xml");

  curl_easy_setopt(easy.get(), CURLOPT_HTTPPROXYTUNNEL, 1L);
  EXPECT_NE(Perform(easy.get(), "http://www.vorla.example/pcupdate/update.xml").code, CURLE_OK);
  long connectCode = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_HTTP_CONNECTCODE, &connectCode);
  EXPECT_EQ(connectCode, 501);
}

TEST(LoopbackServer, FramesAndBreaksBodiesAsAsked) {
  const std::string text = "0123456789";
  const std::string large(3 * 1024 * 1024 + 5, 'x');
  std::filesystem::path file = std::filesystem::temp_directory_path() / ("loopback-body-" + std::to_string(getpid()));
  std::ofstream(file, std::ios::binary) << large;
  using Framing = Response::Framing;
  struct Row {
    const char* name;
    Response response;
    CURLcode code;
    std::string body;
    const char* header;
  } rows[] = {
      {"chunked", {.body = text, .framing = Framing::Chunked, .pieces = {3, 3}}, CURLE_OK, text, "chunked"},
      {"close-delimited", {.body = text, .framing = Framing::CloseDelimited}, CURLE_OK, text, "Connection: close"},
      {"file in 1 MiB reads", {.bodyFile = file.string(), .pieces = {1000}}, CURLE_OK, large, "Length: 3145733"},
      {"missing file", {.bodyFile = "/nonexistent/body"}, CURLE_OK, "cannot open /nonexistent/body\n", "500"},
      {"announced too long", {.headers = {{"Content-Length", "20"}}, .body = text}, CURLE_PARTIAL_FILE, text, "20"},
      {"dropped mid-body", {.bodyFile = file.string(), .dropAfterBodyBytes = 2000000}, CURLE_RECV_ERROR,
       large.substr(0, 2000000), "200"},
      {"dropped mid-chunk", {.body = text, .framing = Framing::Chunked, .dropAfterBodyBytes = 4}, CURLE_RECV_ERROR,
       "0123", "chunked"},
      {"dropped before answering", {.dropBeforeResponse = true}, CURLE_GOT_NOTHING, "", ""},
  };
  LoopbackServer server;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    server.Route("/row", row.response);
    Fetched fetched = Fetch(server.Url("/row"));
    EXPECT_EQ(fetched.code, row.code) << curl_easy_strerror(fetched.code);
    EXPECT_TRUE(fetched.body == row.body) << fetched.body.size() << " bytes, wanted " << row.body.size();
    EXPECT_NE(fetched.headers.find(row.header), std::string::npos) << fetched.headers;
  }
  std::filesystem::remove(file);
}

TEST(LoopbackServer, PausesBetweenPiecesAndStallsUntilTheClientGivesUp) {
  LoopbackServer server;
  server.Route("/slow", Response{.body = "abcdefghijkl", .pieces = {4, 4}, .pauseMs = 200});
  server.Route("/stall", Response{.stall = true});
  server.Route("/stall-after-headers", Response{.body = "never", .stallAfterHeaders = true});
  Clock::time_point start = Clock::now();
  Fetched slow = Fetch(server.Url("/slow"));
  EXPECT_EQ(slow.body, "abcdefghijkl");
  EXPECT_GE(slow.writes, 3);
  EXPECT_GE(MsSince(start), 380);

  for (const char* path : {"/stall", "/stall-after-headers"}) {
    SCOPED_TRACE(path);
    start = Clock::now();
    Fetched stalled = Fetch(server.Url(path), 300);
    EXPECT_EQ(stalled.code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(stalled.status, std::string(path) == "/stall" ? 0 : 200);
    EXPECT_LT(MsSince(start), 3000);
  }
}

TEST(LoopbackServer, KeepsConnectionsAliveUnlessTheBodyEndsThem) {
  LoopbackServer server;
  server.Route("/a", Response{.body = "a"});
  server.Route("/chunked", Response{.body = "c", .framing = Response::Framing::Chunked});
  server.Route("/close", Response{.body = "z", .framing = Response::Framing::CloseDelimited});
  CurlEasy easy = MakeEasy();
  EXPECT_EQ(Perform(easy.get(), server.Url("/a")).newConnections, 1);
  EXPECT_EQ(Perform(easy.get(), server.Url("/chunked")).newConnections, 0);
  EXPECT_EQ(Perform(easy.get(), server.Url("/close")).newConnections, 0);
  EXPECT_EQ(Perform(easy.get(), server.Url("/a")).newConnections, 1);
  std::vector<Request> requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[2].connectionId, requests[0].connectionId);
  EXPECT_NE(requests[3].connectionId, requests[0].connectionId);
  EXPECT_EQ(server.ConnectionCount(), 2u);
}

TEST(LoopbackServer, StopsPromptlyWhileAClientWaits) {
  LoopbackServer server;
  server.Route("/stall", Response{.stall = true});
  Fetched fetched;
  std::thread client([&] { fetched = Fetch(server.Url("/stall"), 10000); });
  ASSERT_TRUE(server.WaitForRequests(1, 2000));
  Clock::time_point start = Clock::now();
  server.Stop();
  EXPECT_LT(MsSince(start), 1000);
  client.join();
  EXPECT_EQ(fetched.code, CURLE_GOT_NOTHING);
  EXPECT_LT(MsSince(start), 2000);
}

TEST(LoopbackServerProgram, ServesRoutesAndRootUntilTerminated) {
  auto dir = std::filesystem::temp_directory_path() / ("vorla-test-server-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "root" / "sub");
  std::ofstream(dir / "routed.xml") << "<routed/>";
  std::ofstream(dir / "root" / "sub" / "file.txt") << "under root";
  std::ofstream(dir / "secret") << "outside";
  std::string portFile = (dir / "port").string(), route = "/update.xml=" + (dir / "routed.xml").string(),
              root = (dir / "root").string();
  const char* argv[] = {VORLA_TEST_SERVER_PROGRAM, "--port-file", portFile.c_str(), "--route", route.c_str(),
                        "--route-status", "/gone=410", "--root", root.c_str(), "--max-seconds", "60", nullptr};
  struct Child {
    pid_t pid = 0;
    ~Child() {  // whatever fails below, no server outlives the test
      if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
  } child;
  ASSERT_EQ(posix_spawn(&child.pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  int port = 0;
  for (int i = 0; i < 100 && !(std::ifstream(portFile) >> port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GT(port, 0);
  std::string base = "http://127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(Fetch(base + "/update.xml").body, "<routed/>");
  EXPECT_EQ(Fetch(base + "/gone").status, 410);
  EXPECT_EQ(Fetch(base + "/sub/file.txt").body, "under root");
  CurlEasy escape = MakeEasy();
  curl_easy_setopt(escape.get(), CURLOPT_PATH_AS_IS, 1L);  // send the ".." as written
  EXPECT_EQ(Perform(escape.get(), base + "/sub/../../secret").status, 404);
  EXPECT_EQ(Perform(escape.get(), base + "/%2e%2e/secret").status, 404);

  kill(child.pid, SIGTERM);
  int status = -1;
  for (int i = 0; i < 100 && waitpid(child.pid, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (status != -1) child.pid = 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);  // once, before any test starts a thread
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  curl_global_cleanup();
  return result;
}
