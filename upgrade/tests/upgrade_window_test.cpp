#include <csignal>
#include <functional>
#include <memory>
#include <set>
#include <string_view>

#include <thread>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "manifest/curl_handles.h"
#include "testsupport/loopback_server.h"
#include "upgrade/upgrade_dlg.h"

using vorla::testing::Gate;
using vorla::testing::LoopbackServer;
using vorla::testing::Response;
using Serve = std::function<void(LoopbackServer&)>;
Q_DECLARE_METATYPE(Response)
Q_DECLARE_METATYPE(Serve)

namespace {

const QString kNoAddress = QStringLiteral("获取下载地址失败，请稍后再试。");
const QString kBadAddress = QStringLiteral("软件下载地址错误。");
const QString kCannotCreate = QStringLiteral("下载文件创建失败，请关闭杀毒软件。");
const QString kDownloadFailed = QStringLiteral("文件下载失败，请稍后再试。");

std::string Manifest(const std::string& url, const std::string& more = {}) {
  return "<?xml version=\"1.0\"?><update><version>3.0.0.8</version><url>" + url + "</url>" + more + "</update>";
}

std::string Sha256Hex(const std::string& data) {
  return QCryptographicHash::hash(QByteArray::fromStdString(data), QCryptographicHash::Sha256).toHex().toStdString();
}

// Accepts one connection on 127.0.0.1 and keeps the first TLS record the
// client sends (its hello), then hangs up. Owned by the test's thread.
class HelloCatcher {
 public:
  HelloCatcher() {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(m_listen, 1) == 0 &&
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Catch(); });
  }
  ~HelloCatcher() {
    m_thread.join();
    close(m_listen);
  }
  uint16_t Port() const { return m_port; }
  // The hello, once the client has sent it; empty after ten seconds without.
  std::string Hello() {
    m_thread.join();
    m_thread = std::thread([] {});
    return m_hello;
  }

 private:
  void Catch() {
    pollfd waiting{m_listen, POLLIN, 0};
    if (poll(&waiting, 1, 10000) != 1)
      return;
    const int connection = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0)
      return;
    char buffer[4096];
    // A record: type, version (2 bytes), length (2 bytes), then the body.
    for (int rounds = 0; rounds < 100; ++rounds) {
      const size_t have = m_hello.size();
      if (have >= 5 && have >= 5u + ((static_cast<unsigned char>(m_hello[3]) << 8) | static_cast<unsigned char>(m_hello[4])))
        break;
      pollfd readable{connection, POLLIN, 0};
      if (poll(&readable, 1, 100) != 1)
        continue;
      const ssize_t got = read(connection, buffer, sizeof buffer);
      if (got <= 0)
        break;
      m_hello.append(buffer, static_cast<size_t>(got));
    }
    close(connection);
  }

  int m_listen = -1;
  uint16_t m_port = 0;
  std::string m_hello;
  std::thread m_thread;
};

// Threads of this process that bear its own name: the updater's, which are
// unnamed, unlike the loopback server's and Qt's.
std::set<pid_t> ProgramThreads() {
  auto nameOf = [](const QString& path) {
    QFile name(path);
    return name.open(QIODevice::ReadOnly) ? name.readAll() : QByteArray();
  };
  const QByteArray own = nameOf("/proc/self/comm");
  std::set<pid_t> threads;
  for (const QString& thread : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
    if (nameOf("/proc/self/task/" + thread + "/comm") == own)
      threads.insert(thread.toInt());
  return threads;
}

// True when `thread` sleeps and has used no CPU time over `ms`.
bool IsIdle(pid_t thread, int ms) {
  // State and CPU time from /proc/self/task/N/stat: "N (name) S ... utime stime".
  auto sample = [thread] {
    QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(thread));
    if (!stat.open(QIODevice::ReadOnly))
      return QByteArrayList();
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ');
  };
  const QByteArrayList first = sample();
  QTest::qWait(ms);
  const QByteArrayList second = sample();
  return first.size() > 13 && second.size() > 13 && first[0] == "S" && second[0] == "S" &&
         first.mid(11, 2) == second.mid(11, 2);
}

// Holds one thread of this process in a signal handler until Thaw() (10 s at
// most), while the others run on. Made and used on the test's thread.
class ThreadFreezer {
 public:
  ThreadFreezer() {
    s_frozen = false;
    if (pipe2(s_thaw, O_CLOEXEC) != 0)
      s_thaw[0] = s_thaw[1] = -1;
    struct sigaction action {};
    action.sa_handler = OnFreeze;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR2, &action, &m_saved);
  }
  ~ThreadFreezer() {
    Thaw();
    sigaction(SIGUSR2, &m_saved, nullptr);
    close(s_thaw[0]);
    close(s_thaw[1]);
  }
  // True once `thread` is held.
  bool Freeze(pid_t thread) {
    if (s_thaw[0] < 0 || syscall(SYS_tgkill, getpid(), thread, SIGUSR2) != 0)
      return false;
    return QTest::qWaitFor([] { return s_frozen.load(); }, 5000);
  }
  void Thaw() {
    if (!s_frozen.exchange(false))
      return;
    [[maybe_unused]] const ssize_t written = write(s_thaw[1], "x", 1);  // best effort: the hold ends in 10 s anyway
  }

 private:
  static void OnFreeze(int) {
    s_frozen = true;
    pollfd thaw{s_thaw[0], POLLIN, 0};
    poll(&thaw, 1, 10000);
  }

  static inline int s_thaw[2] = {-1, -1};
  static inline std::atomic<bool> s_frozen{false};
  struct sigaction m_saved {};
};

// While set, the next clean-up of the manifest's handle waits for this gate:
// the transfer is over and the status known, and the worker has not yet looked
// at the stop flag again. A quit can then be answered in that gap every time.
std::atomic<Gate*> g_holdManifestCleanup{nullptr};
std::atomic<bool> g_heldInManifestCleanup{false};

}  // namespace

// Stands in for libcurl's own, which it calls.
extern "C" void curl_easy_cleanup(CURL* handle) {
  static const auto real = reinterpret_cast<void (*)(CURL*)>(dlsym(RTLD_NEXT, "curl_easy_cleanup"));
  const char* url = nullptr;
  if (g_holdManifestCleanup.load() && curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url &&
      std::string_view(url).ends_with("/update.xml")) {
    if (Gate* hold = g_holdManifestCleanup.exchange(nullptr)) {
      g_heldInManifestCleanup = true;
      static const std::atomic<bool> never{false};
      hold->WaitOpen(10000, never);
    }
  }
  real(handle);
}

namespace {

// What the quit question looked like, and that it was answered.
struct Question {
  bool seen = false;
  QString title, text;
  QMessageBox::StandardButtons buttons;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Answers the next quit question with `answer`, from the event loop it runs in.
// Gives up after about five seconds, leaving `question.seen` false.
void AnswerNextQuestion(Question& question, QMessageBox::StandardButton answer, int triesLeft = 100) {
  QTimer::singleShot(50, [&question, answer, triesLeft] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) {
      if (triesLeft > 0)
        AnswerNextQuestion(question, answer, triesLeft - 1);
      return;
    }
    question.seen = true;
    question.title = box->windowTitle();
    question.text = box->text();
    question.buttons = box->standardButtons();
    question.icon = box->icon();
    box->button(answer)->click();
  });
}

}  // namespace

class UpgradeWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();
  void failuresLeaveTheirLineAndCloseWithoutQuestion_data();
  void failuresLeaveTheirLineAndCloseWithoutQuestion();
  void successStartsTheInstallerAndCloses();
  void requestsCarryExactlyTheirHeaders();
  void progressFollowsTheAnnouncedLength_data();
  void progressFollowsTheAnnouncedLength();
  void quitQuestionNoKeepsDownloadingYesStops();
  void quitDuringStallEndsPromptly_data();
  void quitDuringStallEndsPromptly();
  void yesAfterTheLastChunkWinsOverTheStart();
  void closeRequestClosesAnOpenQuestion();
  void opensWithTheTemplateState();
  void withoutAWorkerThreadTheWindowStaysAsOpened();
  void installerRequestAsksForHttp11OverTls();
  void digestDecidesTheStart_data();
  void digestDecidesTheStart();
  void quitWhileHashingEndsPromptly();
  void enterDoesNothing();
  void fullDiskFailsTheDownload();
  void untrustedHttpsCertificateFailsTheDownload();

 private:
  std::unique_ptr<CupgradeDlg> Open();
  QString Status(CupgradeDlg& dlg) { return dlg.findChild<QLabel*>("statusText")->text(); }
  QProgressBar* Bar(CupgradeDlg& dlg) { return dlg.findChild<QProgressBar*>("progressBar"); }
  // The folders the updater made for its downloads, and the installer in the
  // last of them (each pass makes its own).
  QStringList TempFolders() const { return QDir(m_temp->path()).entryList({"vorla-*"}, QDir::Dirs | QDir::Hidden); }
  QString Installer() const {
    const QStringList folders = TempFolders();
    return m_temp->filePath((folders.isEmpty() ? QString("none") : folders.last()) + "/vorlax.exe");
  }
  QString Marker() const { return m_temp->filePath("installer-ran"); }
  // A shell installer that leaves Marker(); padded to `size` bytes.
  static std::string FakeInstaller(size_t size = 0);
  void ServeInstaller(Response response);

  std::unique_ptr<LoopbackServer> m_server;
  std::unique_ptr<QTemporaryDir> m_temp;
  QByteArray m_savedTmpdir;
};

void UpgradeWindowTest::initTestCase() {
  m_savedTmpdir = qEnvironmentVariableIsSet("TMPDIR") ? qgetenv("TMPDIR") : QByteArray();
  QVERIFY(vorla::InitializeCurl());
  std::signal(SIGXFSZ, SIG_IGN);
}

void UpgradeWindowTest::init() {
  m_server = std::make_unique<LoopbackServer>();
  m_temp = std::make_unique<QTemporaryDir>();
  QVERIFY(m_temp->isValid());
  // The built-in vendor host is reached through the loopback server as proxy.
  qputenv("http_proxy", QByteArray::fromStdString(m_server->BaseUrl()));
  qunsetenv("no_proxy");
  qputenv("TMPDIR", m_temp->path().toUtf8());
  qunsetenv("XDG_RUNTIME_DIR");
}

void UpgradeWindowTest::cleanup() {
  g_holdManifestCleanup = nullptr;  // a failed case may have left it armed
  // Not left naming the folder removed below: Qt would make its own
  // temporary folders in / after it.
  if (m_savedTmpdir.isNull())
    qunsetenv("TMPDIR");
  else
    qputenv("TMPDIR", m_savedTmpdir);
  m_server.reset();
  m_temp.reset();
}

std::unique_ptr<CupgradeDlg> UpgradeWindowTest::Open() {
  auto dlg = std::make_unique<CupgradeDlg>();
  dlg->show();
  return dlg;
}

std::string UpgradeWindowTest::FakeInstaller(size_t size) {
  std::string script = "#!/bin/sh\necho \"ran $#\" > \"$TMPDIR/installer-ran\"\nexit 0\n";
  if (script.size() < size)
    script.append(size - script.size(), '#');
  return script;
}

void UpgradeWindowTest::ServeInstaller(Response response) {
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("http://www.vorla.example/dl/setup")});
  m_server->Route("/dl/setup", std::move(response));
}

void UpgradeWindowTest::failuresLeaveTheirLineAndCloseWithoutQuestion_data() {
  QTest::addColumn<QString>("expected");
  QTest::addColumn<Serve>("serve");
  QTest::addColumn<bool>("noTempFolder");
  const std::string setup = "http://www.vorla.example/dl/setup";
  auto manifest = [](Response response) -> Serve {
    return [response](LoopbackServer& server) { server.Route("/pcupdate/update.xml", response); };
  };
  QTest::newRow("manifest 404") << kNoAddress << manifest(Response{.status = 404, .body = Manifest(setup)}) << false;
  QTest::newRow("manifest 302") << kNoAddress
                                << manifest(Response{.status = 302, .headers = {{"Location", "/other"}},
                                                     .body = Manifest(setup)})
                                << false;
  QTest::newRow("manifest dropped") << kNoAddress << manifest(Response{.dropBeforeResponse = true}) << false;
  QTest::newRow("no url element") << kBadAddress << manifest(Response{.body = "<version>3.0.0.8</version>"}) << false;
  QTest::newRow("empty url") << kBadAddress << manifest(Response{.body = Manifest("")}) << false;
  auto installer = [setup](Response response) -> Serve {
    return [setup, response](LoopbackServer& server) {
      server.Route("/pcupdate/update.xml", Response{.body = Manifest(setup)});
      server.Route("/dl/setup", response);
    };
  };
  QTest::newRow("temp folder missing") << kCannotCreate << installer(Response{.body = "x"}) << true;
  QTest::newRow("installer 404") << kDownloadFailed << installer(Response{.status = 404, .body = "<h1>gone</h1>"})
                                 << false;
  // Past what any installer of ours weighs: refused before the body.
  QTest::newRow("installer announced past the ceiling")
      << kDownloadFailed
      << installer(Response{.headers = {{"Content-Length", "107374182400"}}, .body = "x", .stallAfterHeaders = true})
      << false;
  QTest::newRow("installer dropped") << kDownloadFailed
                                     << installer(Response{.body = std::string(100000, 'x'), .dropAfterBodyBytes = 5000})
                                     << false;
  QTest::newRow("installer redirected") << kDownloadFailed
                                        << Serve([setup](LoopbackServer& server) {
                                             server.Route("/pcupdate/update.xml", Response{.body = Manifest(setup)});
                                             server.Route("/dl/setup", Response{.status = 302, .headers = {{"Location", "http://www.vorla.example/dl/other"}}});
                                             server.Route("/dl/other", Response{.body = FakeInstaller()});
                                           })
                                        << false;
  // Downloaded whole, but no program the system can start.
  QTest::newRow("installer not startable") << kDownloadFailed << installer(Response{.body = "not a program\n"})
                                           << false;
  auto manifestNaming = [](std::string url) -> Serve {
    return [url](LoopbackServer& server) { server.Route("/pcupdate/update.xml", Response{.body = Manifest(url)}); };
  };
  QTest::newRow("installer at a file URL") << kDownloadFailed << manifestNaming("file:///etc/passwd") << false;
}

void UpgradeWindowTest::failuresLeaveTheirLineAndCloseWithoutQuestion() {
  QFETCH(QString, expected);
  QFETCH(Serve, serve);
  QFETCH(bool, noTempFolder);
  serve(*m_server);
  if (noTempFolder)
    qputenv("TMPDIR", m_temp->filePath("absent").toUtf8());

  auto dlg = Open();
  QTRY_COMPARE_WITH_TIMEOUT(Status(*dlg), expected, 15000);
  QCOMPARE(dlg->StopFlag().load(), 1);
  QVERIFY(dlg->isVisible());

  Question question;
  AnswerNextQuestion(question, QMessageBox::No, 10);
  QTest::keyClick(dlg.get(), Qt::Key_Escape);
  QTRY_VERIFY(!dlg->isVisible());
  QVERIFY(!question.seen);
  dlg->WaitForWorker();
  QVERIFY(!QFile::exists(Marker()));
  // Whatever arrived (an error page, part of the installer) goes with its folder.
  QCOMPARE(TempFolders(), QStringList());
  if (QTest::currentDataTag() == QByteArray("temp folder missing"))
    QCOMPARE(m_server->RequestCount(), size_t(1));  // no installer request
  if (QTest::currentDataTag() == QByteArray("installer redirected")) {
    for (const auto& request : m_server->Requests())
      QVERIFY(request.path != "/dl/other");
  }
}

void UpgradeWindowTest::successStartsTheInstallerAndCloses() {
  // What another user may plant at names in a shared temporary folder (the
  // installer's, a folder of ours) neither blocks the update nor is written through.
  const QString victim = m_temp->filePath("victim");
  QFile victimFile(victim);
  QVERIFY(victimFile.open(QIODevice::WriteOnly));
  victimFile.write("keep");
  victimFile.close();
  QVERIFY(QFile::link(victim, m_temp->filePath("vorlax.exe")));
  QVERIFY(QDir(m_temp->path()).mkdir(QString("vorla-%1").arg(getuid())));

  const std::string installer = FakeInstaller(300000);
  ServeInstaller(Response{.body = installer});
  auto dlg = Open();
  QTRY_VERIFY_WITH_TIMEOUT(!dlg->isVisible(), 15000);  // closed by itself, no question
  dlg->WaitForWorker();
  QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(Marker()), 10000);

  // In a folder of its own, made for this download, private.
  QCOMPARE(TempFolders().size(), 2);
  QVERIFY(QFileInfo(Installer()).dir().dirName() != QString("vorla-%1").arg(getuid()));
  QCOMPARE(int(QFileInfo(QFileInfo(Installer()).path()).permissions()) & 0x0077, 0);
  QFile file(Installer());
  QVERIFY(file.open(QIODevice::ReadOnly));
  QCOMPARE(file.readAll().toStdString(), installer);
  QVERIFY(file.permissions() & QFileDevice::ExeOwner);
  QFile marker(Marker());
  QVERIFY(marker.open(QIODevice::ReadOnly));
  QCOMPARE(marker.readAll(), QByteArray("ran 0\n"));
  QVERIFY(victimFile.open(QIODevice::ReadOnly));
  QCOMPARE(victimFile.readAll(), QByteArray("keep"));
}

void UpgradeWindowTest::requestsCarryExactlyTheirHeaders() {
  ServeInstaller(Response{.body = FakeInstaller()});
  auto dlg = Open();
  QTRY_VERIFY_WITH_TIMEOUT(!dlg->isVisible(), 15000);
  dlg->WaitForWorker();
  const auto requests = m_server->Requests();
  QCOMPARE(requests.size(), size_t(2));
  QCOMPARE(requests[0].target, std::string("http://www.vorla.example/pcupdate/update.xml"));
  QCOMPARE(requests[1].target, std::string("http://www.vorla.example/dl/setup"));
  auto withoutProxyLines = [](std::vector<std::string> lines) {
    std::erase_if(lines, [](const std::string& line) { return line.rfind("Proxy-", 0) == 0; });
    return lines;
  };
  QCOMPARE(withoutProxyLines(requests[0].headerLines),
           (std::vector<std::string>{"Host: www.vorla.example", "Accept: text/xml", "Cache-Control: no-cache"}));
  QCOMPARE(withoutProxyLines(requests[1].headerLines),
           (std::vector<std::string>{"Host: www.vorla.example", "Accept: */*", "Cache-Control: no-cache"}));
}

void UpgradeWindowTest::progressFollowsTheAnnouncedLength_data() {
  QTest::addColumn<Response>("response");
  QTest::addColumn<QList<int>>("positions");
  const std::string body = FakeInstaller(1000);
  QTest::newRow("600 + 400") << Response{.body = body, .pieces = {600}, .pauseMs = 200} << QList<int>{60};
  QTest::newRow("667 + 333, truncated") << Response{.body = body, .pieces = {667}, .pauseMs = 200} << QList<int>{66};
  // A one-byte announcement before 23 MB: the fraction passes what an int holds.
  QTest::newRow("announced 1 of 23 MB") << Response{.headers = {{"X-Content-Length", "1"}}, .body = FakeInstaller(23000000),
                                                    .framing = Response::Framing::Chunked, .pieces = {600}, .pauseMs = 100}
                                        << QList<int>{100};
  QTest::newRow("chunked") << Response{.body = body, .framing = Response::Framing::Chunked, .pieces = {600},
                                       .pauseMs = 200}
                           << QList<int>{};
  QTest::newRow("lower-case name") << Response{.headers = {{"content-length", "1000"}}, .body = body,
                                               .framing = Response::Framing::CloseDelimited, .pieces = {600},
                                               .pauseMs = 200}
                                   << QList<int>{};
  // A later line naming the length overrides: digits past 64 bits mean unknown ...
  QTest::newRow("too many digits") << Response{.headers = {{"Content-Length", "1000"}, {"X-Content-Length-Hint", "99999999999999999999999"}},
                                               .body = body, .pieces = {600}, .pauseMs = 200}
                                   << QList<int>{};
  // ... and a length below what arrives never takes the bar past 100.
  QTest::newRow("announced too small") << Response{.headers = {{"Content-Length", "1000"}, {"X-Content-Length", "500"}}, .body = body,
                                                   .pieces = {600}, .pauseMs = 200}
                                       << QList<int>{100};
}

void UpgradeWindowTest::progressFollowsTheAnnouncedLength() {
  QFETCH(Response, response);
  QFETCH(QList<int>, positions);
  ServeInstaller(response);
  auto dlg = std::make_unique<CupgradeDlg>();
  QSignalSpy spy(Bar(*dlg), &QProgressBar::valueChanged);
  dlg->show();
  QTRY_VERIFY_WITH_TIMEOUT(!dlg->isVisible(), 15000);
  dlg->WaitForWorker();
  QList<int> seen;
  for (const auto& arguments : spy)
    seen << arguments.at(0).toInt();
  QCOMPARE(seen, positions);
  QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(Marker()), 10000);  // started all the same
}

void UpgradeWindowTest::quitQuestionNoKeepsDownloadingYesStops() {
  // 2 MB in 40 pieces, 150 ms apart: six seconds of download.
  std::vector<size_t> pieces(40, 50000);
  ServeInstaller(Response{.body = FakeInstaller(2000000), .pieces = pieces, .pauseMs = 150});
  auto dlg = Open();
  QTRY_VERIFY_WITH_TIMEOUT(Bar(*dlg)->value() > 0, 10000);

  Question question;
  AnswerNextQuestion(question, QMessageBox::No);
  QTest::keyClick(dlg.get(), Qt::Key_Escape);
  QVERIFY(question.seen);
  QCOMPARE(question.title, QStringLiteral("Vorla"));
  QCOMPARE(question.text, QStringLiteral("你确定要退出升级吗？"));
  QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
  QCOMPARE(question.icon, QMessageBox::Question);
  QVERIFY(dlg->isVisible());
  QCOMPARE(dlg->StopFlag().load(), 0);
  const int before = Bar(*dlg)->value();
  QTRY_VERIFY_WITH_TIMEOUT(Bar(*dlg)->value() > before, 5000);  // still downloading

  // The close box asks the same question.
  Question second;
  AnswerNextQuestion(second, QMessageBox::Yes);
  dlg->close();
  QVERIFY(second.seen);
  QCOMPARE(second.text, question.text);
  QVERIFY(!dlg->isVisible());
  QElapsedTimer timer;
  timer.start();
  dlg->WaitForWorker();
  QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
  QTest::qWait(300);
  QVERIFY(!QFile::exists(Marker()));  // nothing started
}

void UpgradeWindowTest::quitDuringStallEndsPromptly_data() {
  QTest::addColumn<bool>("stallManifest");
  QTest::addColumn<bool>("slowManifest");  // arrives whole right after the Yes
  QTest::addColumn<bool>("heldAfterManifest");  // arrived whole; the worker held in libcurl's clean-up
  QTest::newRow("manifest stalled") << true << false << false;
  QTest::newRow("manifest arriving after the Yes") << true << true << false;
  QTest::newRow("manifest in, Yes before the worker goes on") << true << false << true;
  QTest::newRow("installer stalled") << false << false << false;
}

void UpgradeWindowTest::quitDuringStallEndsPromptly() {
  QFETCH(bool, stallManifest);
  QFETCH(bool, slowManifest);
  QFETCH(bool, heldAfterManifest);
  // A file at the installer's name in the temporary folder stays as it is.
  QFile stale(m_temp->filePath("vorlax.exe"));
  QVERIFY(stale.open(QIODevice::WriteOnly));
  stale.write("old installer");
  stale.close();
  // The manifest's rest, or the worker once the manifest is in, waits for the
  // Yes, then goes on at once.
  auto rest = std::make_shared<Gate>();
  if (slowManifest || heldAfterManifest)
    ServeInstaller(Response{.body = FakeInstaller()});
  if (heldAfterManifest) {
    g_heldInManifestCleanup = false;
    g_holdManifestCleanup = rest.get();
  } else if (slowManifest)
    m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("http://www.vorla.example/dl/setup"),
                                                     .pieces = {10}, .holdLastPiece = rest});
  else if (stallManifest)
    m_server->Route("/pcupdate/update.xml", Response{.stall = true});
  else
    ServeInstaller(Response{.headers = {{"Content-Length", "100000"}}, .body = "#!/bin/sh\n",
                            .stallAfterHeaders = true});
  auto dlg = Open();
  // Not a blocking wait: the worker needs this thread for its status line.
  QTRY_VERIFY_WITH_TIMEOUT(m_server->RequestCount() == (stallManifest ? 1u : 2u), 10000);
  if (heldAfterManifest)
    QTRY_VERIFY_WITH_TIMEOUT(g_heldInManifestCleanup.load(), 10000);
  QTest::qWait(300);
  QCOMPARE(Status(*dlg), stallManifest ? QStringLiteral("正在连接服务器...") : QStringLiteral("开始下载文件..."));

  Question question;
  AnswerNextQuestion(question, QMessageBox::Yes);
  QTest::keyClick(dlg.get(), Qt::Key_Escape);
  QVERIFY(question.seen);
  rest->Open();
  QElapsedTimer timer;
  timer.start();
  dlg->WaitForWorker();
  g_holdManifestCleanup = nullptr;
  QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
  QVERIFY(!QFile::exists(Marker()));
  if (stallManifest) {
    QTest::qWait(300);
    QCOMPARE(m_server->RequestCount(), size_t(1));  // no installer request
    QVERIFY(stale.open(QIODevice::ReadOnly));
    QCOMPARE(stale.readAll(), QByteArray("old installer"));
  }
}

// The last chunk's progress hand-off holds the worker while the user says Yes:
// whether the transfer is then cut short or completes, the Yes wins over the start.
void UpgradeWindowTest::yesAfterTheLastChunkWinsOverTheStart() {
  ServeInstaller(Response{.body = FakeInstaller(1000), .pieces = {600}, .pauseMs = 200});
  auto dlg = std::make_unique<CupgradeDlg>();
  Question question;
  bool asked = false;
  connect(Bar(*dlg), &QProgressBar::valueChanged, dlg.get(), [&](int value) {
    if (value != 60 || asked)
      return;
    asked = true;
    AnswerNextQuestion(question, QMessageBox::Yes);
    dlg->reject();
  });
  dlg->show();
  QTRY_VERIFY_WITH_TIMEOUT(asked, 15000);
  QVERIFY(question.seen);
  QVERIFY(!dlg->isVisible());
  dlg->WaitForWorker();
  QTest::qWait(500);
  QVERIFY(!QFile::exists(Marker()));
  QCOMPARE(TempFolders(), QStringList());  // not started, so not kept

  // Again, with the Yes after the transfer has ended, while the installer's
  // tail is still being hashed: the claim after the hashing finds it. The
  // hashing thread is held until the Yes, so the Yes lands there every time.
  const std::string installer = FakeInstaller(18000000);
  auto manifestRest = std::make_shared<Gate>();
  auto lastPiece = std::make_shared<Gate>();
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("http://www.vorla.example/dl/setup",
                                                                    "<sha256>" + Sha256Hex(installer) + "</sha256>"),
                                                   .holdLastPiece = manifestRest});
  // The last piece fits the hashing ring whole, so the transfer ends with the hashing held.
  m_server->Route("/dl/setup", Response{.body = installer, .pieces = {16000000}, .holdLastPiece = lastPiece});
  const size_t requests = m_server->RequestCount();
  auto again = Open();
  QTRY_COMPARE_WITH_TIMEOUT(m_server->RequestCount(), requests + 1, 10000);
  const std::set<pid_t> before = ProgramThreads();  // the worker's among them
  manifestRest->Open();
  QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(Installer()).size(), 16000000, 15000);
  std::set<pid_t> hashing = ProgramThreads();
  for (const pid_t thread : before)
    hashing.erase(thread);
  QCOMPARE(hashing.size(), size_t(1));
  const pid_t hashingThread = *hashing.begin();
  // Idle once it has caught up: asleep, and no CPU time spent meanwhile.
  QTRY_VERIFY_WITH_TIMEOUT(IsIdle(hashingThread, 200), 10000);
  ThreadFreezer freezer;
  QVERIFY(freezer.Freeze(hashingThread));

  bool transferEnded = false;
  bool beforeTheClaim = false;
  QElapsedTimer waited;
  QTimer watch;
  watch.setInterval(0);
  connect(&watch, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box)
      return;
    if (!waited.isValid()) {
      waited.start();
      lastPiece->Open();
      return;
    }
    // The updater lets go of its connection once the transfer is over.
    transferEnded = m_server->OpenConnectionCount() == 0;
    if (!transferEnded && waited.elapsed() < 15000)
      return;
    watch.stop();
    beforeTheClaim = again->StopFlag().load() == 0;
    box->button(QMessageBox::Yes)->click();
  });
  watch.start();
  QTest::keyClick(again.get(), Qt::Key_Escape);  // returns once the question is answered
  freezer.Thaw();
  QVERIFY(transferEnded);
  QVERIFY2(beforeTheClaim, "the worker was done before the Yes");
  again->WaitForWorker();
  QTest::qWait(500);
  QVERIFY(!QFile::exists(Marker()));
  QCOMPARE(QFileInfo(Installer()).size(), 18000000);
  again.reset();
  QCOMPARE(TempFolders(), QStringList());  // not started, so not kept
}

// The download ends while the quit question is open: the question goes with
// the window, and nothing waits on it.
void UpgradeWindowTest::closeRequestClosesAnOpenQuestion() {
  ServeInstaller(Response{.body = FakeInstaller(100000), .pieces = {50000}, .pauseMs = 1500});
  auto dlg = Open();
  QTRY_VERIFY_WITH_TIMEOUT(m_server->RequestCount() == 2, 10000);
  // Should the question outlive the window, it is answered No after 15 s.
  bool leftOpen = false;
  QTimer rescue;
  rescue.setSingleShot(true);
  connect(&rescue, &QTimer::timeout, [&leftOpen] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      leftOpen = true;
      box->button(QMessageBox::No)->click();
    }
  });
  rescue.start(15000);
  QTest::keyClick(dlg.get(), Qt::Key_Escape);  // returns once the question has closed
  QVERIFY(!leftOpen);
  QTRY_VERIFY_WITH_TIMEOUT(!dlg->isVisible(), 5000);
  dlg->WaitForWorker();
  QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(Marker()), 10000);
}

void UpgradeWindowTest::opensWithTheTemplateState() {
  m_server->Route("/pcupdate/update.xml", Response{.stall = true});
  auto dlg = Open();  // the worker's first line waits for this thread
  QCOMPARE(Status(*dlg), QStringLiteral("Static"));
  QCOMPARE(Bar(*dlg)->value(), 0);
  QCOMPARE(Bar(*dlg)->minimum(), 0);
  QCOMPARE(Bar(*dlg)->maximum(), 100);
  QCOMPARE(dlg->windowTitle(), QStringLiteral("升级"));
  QCOMPARE(dlg->minimumSize(), dlg->maximumSize());
  const Qt::WindowFlags flags = dlg->windowFlags();
  QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
  QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
  QVERIFY(flags & Qt::WindowCloseButtonHint);
  QTRY_COMPARE(Status(*dlg), QStringLiteral("正在连接服务器..."));
}

// No thread can be had (every new thread's stack is refused): the window
// stays as it opened, and the work counts as open.
void UpgradeWindowTest::withoutAWorkerThreadTheWindowStaysAsOpened() {
  ServeInstaller(Response{.body = FakeInstaller()});
  pthread_attr_t saved, huge;
  QCOMPARE(pthread_getattr_default_np(&saved), 0);
  QCOMPARE(pthread_attr_init(&huge), 0);
  QCOMPARE(pthread_attr_setstacksize(&huge, size_t(1) << 62), 0);
  QCOMPARE(pthread_setattr_default_np(&huge), 0);
  std::unique_ptr<CupgradeDlg> dlg = std::make_unique<CupgradeDlg>();
  QCOMPARE(pthread_setattr_default_np(&saved), 0);
  pthread_attr_destroy(&huge);
  pthread_attr_destroy(&saved);
  dlg->show();
  QTest::qWait(500);
  QCOMPARE(Status(*dlg), QStringLiteral("Static"));
  QCOMPARE(Bar(*dlg)->value(), 0);
  QCOMPARE(m_server->RequestCount(), size_t(0));

  Question question;
  AnswerNextQuestion(question, QMessageBox::Yes);
  QTest::keyClick(dlg.get(), Qt::Key_Escape);
  QVERIFY(question.seen);
  QVERIFY(!dlg->isVisible());
  dlg->WaitForWorker();
}

// Over TLS the installer request asks for HTTP/1.1 alone: under HTTP/2 the
// header names come in lower case and the bar would never move.
void UpgradeWindowTest::installerRequestAsksForHttp11OverTls() {
  HelloCatcher catcher;
  QVERIFY(catcher.Port() != 0);
  m_server->Route("/pcupdate/update.xml",
                  Response{.body = Manifest("https://127.0.0.1:" + std::to_string(catcher.Port()) + "/setup")});
  auto dlg = Open();
  QTRY_COMPARE_WITH_TIMEOUT(Status(*dlg), kDownloadFailed, 15000);
  dlg->WaitForWorker();
  const std::string hello = catcher.Hello();
  QVERIFY2(hello.size() > 5 && hello[0] == 0x16, "no TLS hello arrived");
  QVERIFY(hello.find("\x08http/1.1") != std::string::npos);  // ALPN offers HTTP/1.1 ...
  QVERIFY(hello.find("\x02h2") == std::string::npos);        // ... and not HTTP/2
}

void UpgradeWindowTest::digestDecidesTheStart_data() {
  QTest::addColumn<std::string>("element");
  QTest::addColumn<size_t>("size");
  QTest::addColumn<bool>("starts");
  const std::string digest = Sha256Hex(FakeInstaller(300000));
  std::string upper = digest;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string other = digest;
  other[10] = other[10] == '0' ? '1' : '0';
  QTest::newRow("matching") << "<sha256>" + digest + "</sha256>" << size_t(300000) << true;
  QTest::newRow("matching, upper case") << "<sha256>" + upper + "</sha256>" << size_t(300000) << true;
  // Several times the hashing queue, and not a whole number of its wake-ups.
  QTest::newRow("matching, 10 MB") << "<sha256>" + Sha256Hex(FakeInstaller(10000001)) + "</sha256>" << size_t(10000001)
                                   << true;
  QTest::newRow("absent") << std::string() << size_t(300000) << true;
  QTest::newRow("mismatching") << "<sha256>" + other + "</sha256>" << size_t(300000) << false;
  QTest::newRow("not hexadecimal") << "<sha256>" + digest.substr(0, 63) + "g</sha256>" << size_t(300000) << false;
  QTest::newRow("too short") << "<sha256>" + digest.substr(0, 63) + "</sha256>" << size_t(300000) << false;
  QTest::newRow("blank inside") << "<sha256> " + digest + "</sha256>" << size_t(300000) << false;
  QTest::newRow("empty") << std::string("<sha256></sha256>") << size_t(300000) << false;
}

void UpgradeWindowTest::digestDecidesTheStart() {
  QFETCH(std::string, element);
  QFETCH(size_t, size);
  QFETCH(bool, starts);
  const std::string installer = FakeInstaller(size);
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("http://www.vorla.example/dl/setup", element)});
  m_server->Route("/dl/setup", Response{.body = installer, .pieces = {100000, 100000}, .pauseMs = 50});
  auto dlg = Open();
  if (starts) {
    QTRY_VERIFY_WITH_TIMEOUT(!dlg->isVisible(), 15000);
    dlg->WaitForWorker();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(Marker()), 10000);
    return;
  }
  QTRY_COMPARE_WITH_TIMEOUT(Status(*dlg), kDownloadFailed, 15000);
  QVERIFY(dlg->isVisible());
  QCOMPARE(dlg->StopFlag().load(), 1);
  dlg->WaitForWorker();
  QTest::qWait(300);
  QVERIFY(!QFile::exists(Marker()));
  QCOMPARE(TempFolders(), QStringList());  // removed, not left to be run by hand
}

// A Yes while the installer is being hashed on the side: the hashing ends with
// the download, promptly, and nothing is started.
void UpgradeWindowTest::quitWhileHashingEndsPromptly() {
  // 64 MB in 64 pieces, 40 ms apart: about two and a half seconds of download.
  const std::string installer = FakeInstaller(64000000);
  m_server->Route("/pcupdate/update.xml",
                  Response{.body = Manifest("http://www.vorla.example/dl/setup",
                                            "<sha256>" + Sha256Hex(installer) + "</sha256>")});
  m_server->Route("/dl/setup", Response{.body = installer, .pieces = std::vector<size_t>(64, 1000000), .pauseMs = 40});
  auto dlg = Open();
  QTRY_VERIFY_WITH_TIMEOUT(Bar(*dlg)->value() >= 10, 15000);

  Question question;
  AnswerNextQuestion(question, QMessageBox::Yes);
  QTest::keyClick(dlg.get(), Qt::Key_Escape);
  QVERIFY(question.seen);
  QVERIFY(!dlg->isVisible());
  QElapsedTimer timer;
  timer.start();
  dlg->WaitForWorker();
  QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
  QVERIFY(Bar(*dlg)->value() < 100);  // cut short, not run to the end
  QTest::qWait(300);
  QVERIFY(!QFile::exists(Marker()));
}

void UpgradeWindowTest::enterDoesNothing() {
  m_server->Route("/pcupdate/update.xml", Response{.stall = true});
  auto dlg = Open();
  Question question;
  AnswerNextQuestion(question, QMessageBox::No, 10);
  QTest::keyClick(dlg.get(), Qt::Key_Return);
  QTest::keyClick(dlg.get(), Qt::Key_Enter);
  QTest::qWait(700);
  QVERIFY(dlg->isVisible());
  QVERIFY(!question.seen);
  QCOMPARE(Status(*dlg), QStringLiteral("正在连接服务器..."));
}

void UpgradeWindowTest::fullDiskFailsTheDownload() {
  // A file-size limit stands in for a full disk: writes past it fail.
  struct rlimit saved {};
  QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit limited = saved;
  limited.rlim_cur = 64 * 1024;
  QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);

  ServeInstaller(Response{.body = FakeInstaller(1000000)});
  auto dlg = Open();
  QTRY_COMPARE_WITH_TIMEOUT(Status(*dlg), kDownloadFailed, 15000);
  dlg->WaitForWorker();
  QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);
  QVERIFY(!QFile::exists(Marker()));
  QCOMPARE(TempFolders(), QStringList());
}

// Certificate checks stay on: a self-signed server is refused.
void UpgradeWindowTest::untrustedHttpsCertificateFailsTheDownload() {
  const QString key = m_temp->filePath("key.pem");
  const QString certificate = m_temp->filePath("cert.pem");
  QCOMPARE(QProcess::execute("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                                         "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1", "-keyout", key,
                                         "-out", certificate}),
           0);
  uint16_t port = 0;
  {
    LoopbackServer placeholder;  // a free loopback port, handed on
    port = placeholder.Port();
  }
  QProcess tls;
  tls.setProcessChannelMode(QProcess::MergedChannels);
  tls.start("openssl", {"s_server", "-accept", QStringLiteral("127.0.0.1:%1").arg(port), "-cert", certificate, "-key",
                        key, "-www"});
  QVERIFY(tls.waitForStarted(5000));
  auto stopTls = qScopeGuard([&tls] {
    tls.kill();
    tls.waitForFinished(5000);
  });
  QTest::qWait(500);

  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("https://127.0.0.1:" + std::to_string(port) + "/setup")});
  auto dlg = Open();
  QTRY_COMPARE_WITH_TIMEOUT(Status(*dlg), kDownloadFailed, 15000);
  dlg->WaitForWorker();
  QVERIFY(!QFile::exists(Marker()));
  // Refused for its certificate alone: a client that trusts it is served.
  QCOMPARE(QProcess::execute("curl", {"-sS", "-o", "/dev/null", "--max-time", "10", "--noproxy", "*", "--cacert",
                                      certificate, QStringLiteral("https://127.0.0.1:%1/").arg(port)}),
           0);
}

QTEST_MAIN(UpgradeWindowTest)
#include "upgrade_window_test.moc"
