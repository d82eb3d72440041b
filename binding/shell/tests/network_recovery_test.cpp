// The real binding under Xvfb when the network is not there: the update check
// and the service's pages come back by themselves once it is, and a proxy
// that asks for a password is answered in a dialog. The built-in hosts are
// reached through a loopback server as http_proxy; "no network" is nothing
// listening at its port, or a server that drops what it is sent.

#include <csignal>
#include <memory>
#include <mutex>
#include <vector>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <atspi/atspi.h>

#include "testsupport/screen_reader_bus.h"
#include "testsupport/loopback_server.h"
#include "testsupport/xdotool.h"

using vorla::testing::CountRequests;
using vorla::testing::LoopbackServer;
using vorla::testing::Request;
using vorla::testing::Response;
using vorla::testing::WaitForWindow;
using vorla::testing::Xdotool;

namespace {

const QString kSignInTitle = QStringLiteral("Vorla Sign-in");
const QString kUnreachable = QStringLiteral("无法连接到服务。");
const QString kReload = QStringLiteral("重新加载");
const QString kCredentialsCaption = QStringLiteral("需要登录");
const std::string kManifestPath = "/pcupdate/update.xml";

Response Manifest() { return Response{.body = "<update><version>3.0.0.7</version></update>"}; }

Response SignInPage() {
  return Response{.headers = {{"Content-Type", "text/html; charset=utf-8"}},
                  .body = "<html><head><title>" + kSignInTitle.toStdString() + "</title></head>Sign in</html>"};
}

// A port nobody listens at, which a server may take later.
uint16_t FreePort() { return LoopbackServer().Port(); }

// True while `root` or an object below it (depth-first, a bounded depth) is
// shown to a screen reader under `name`, with `role` unless that is -1.
bool ShowsAccessible(AtspiAccessible* root, const QString& name, int role, int depth = 0) {
  if (!root || depth > 30)
    return false;
  gchar* own = atspi_accessible_get_name(root, nullptr);
  bool found = own && QString::fromUtf8(own) == name &&
               (role < 0 || atspi_accessible_get_role(root, nullptr) == AtspiRole(role));
  g_free(own);
  if (found) {
    AtspiStateSet* states = atspi_accessible_get_state_set(root);
    found = states && atspi_state_set_contains(states, ATSPI_STATE_SHOWING);
    if (states)
      g_object_unref(states);
    if (found)
      return true;
  }
  const int children = atspi_accessible_get_child_count(root, nullptr);
  for (int i = 0; i < children && !found; ++i) {
    AtspiAccessible* child = atspi_accessible_get_child_at_index(root, i, nullptr);
    found = ShowsAccessible(child, name, role, depth + 1);
    if (child)
      g_object_unref(child);
  }
  return found;
}

// Whether the program `pid` shows a screen reader an object named `name`.
bool ShowsAccessible(qint64 pid, const QString& name, int role = -1) {
  bool found = false;
  AtspiAccessible* desktop = atspi_get_desktop(0);
  const int applications = atspi_accessible_get_child_count(desktop, nullptr);
  for (int i = 0; i < applications && !found; ++i) {
    AtspiAccessible* application = atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (application && atspi_accessible_get_process_id(application, nullptr) == pid)
      found = ShowsAccessible(application, name, role);
    if (application)
      g_object_unref(application);
  }
  g_object_unref(desktop);
  return found;
}

// When each request for one path came, in ms since the test began. Any thread.
class Arrivals {
 public:
  Arrivals() { m_clock.start(); }
  void Note() {
    std::lock_guard lock(m_mutex);
    m_times.push_back(m_clock.elapsed());
  }
  std::vector<qint64> Times() const {
    std::lock_guard lock(m_mutex);
    return m_times;
  }

 private:
  QElapsedTimer m_clock;
  mutable std::mutex m_mutex;
  std::vector<qint64> m_times;
};

QString Describe(const std::vector<qint64>& times) {
  QStringList list;
  for (qint64 t : times)
    list << QString::number(t);
  return list.join(QLatin1Char(' '));
}

}  // namespace

class NetworkRecoveryTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void updateCheckWaitsForTheNetwork();
  void servicePageComesBackByItself();
  void proxyAsksForAPassword();

 private:
  QString Path(const QString& relative) const { return m_temp->filePath(relative); }
  void Start(uint16_t proxyPort, const QProcessEnvironment& extra = {});

  std::unique_ptr<QTemporaryDir> m_temp;
  std::unique_ptr<QProcess> m_process;
};

void NetworkRecoveryTest::init() {
  m_temp = std::make_unique<QTemporaryDir>();
  QVERIFY(m_temp->isValid());
  for (const char* folder : {"home", "work", "run"})
    QVERIFY(QDir().mkpath(Path(folder)));
  QVERIFY(QFile::setPermissions(Path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  m_process = std::make_unique<QProcess>();
}

void NetworkRecoveryTest::cleanup() {
  // SIGTERM ends binding as Yes to the exit question does.
  if (m_process->state() != QProcess::NotRunning) {
    m_process->terminate();
    if (!m_process->waitForFinished(15000)) {
      m_process->kill();
      m_process->waitForFinished(5000);
    }
  }
  m_process.reset();
  m_temp.reset();
}

void NetworkRecoveryTest::Start(uint16_t proxyPort, const QProcessEnvironment& extra) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("http_proxy", QStringLiteral("http://127.0.0.1:%1").arg(proxyPort));
  environment.remove("no_proxy");
  environment.insert("XDG_DATA_HOME", Path("data"));
  environment.insert("HOME", Path("home"));
  environment.insert("XDG_RUNTIME_DIR", Path("run"));
  environment.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
  // No system bus: no network state is reported, and the timer alone brings
  // the program back, as on a desktop without a network manager.
  environment.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + Path("no-system-bus"));
  environment.remove("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
  for (const QString& name : extra.keys())
    environment.insert(name, extra.value(name));
  m_process->setProcessEnvironment(environment);
  m_process->setWorkingDirectory(Path("work"));
  m_process->start(BINDING_PROGRAM, {});
  QVERIFY(m_process->waitForStarted(10000));
}

// Started before the network: the panel shows the failure and tries again,
// less and less often, and reaches the sign-in page by itself once the
// vendor's host answers.
void NetworkRecoveryTest::updateCheckWaitsForTheNetwork() {
  const uint16_t port = FreePort();
  Start(port);
  QTest::qWait(2500);  // the first attempts find nothing listening

  // Then a host that drops every request for a while: each one is an attempt.
  Arrivals dropped;
  auto server = std::make_unique<LoopbackServer>(port);
  server->Route(kManifestPath, [&dropped](const Request&) {
    dropped.Note();
    return Response{.dropBeforeResponse = true};
  });
  QTest::qWait(6500);
  const std::vector<qint64> attempts = dropped.Times();
  // Back-off 1, 2, 4, 8 s: one to three attempts in these 6.5 s, further apart
  // each time. Retrying at a fixed second would send six or seven.
  QVERIFY2(!attempts.empty() && attempts.size() <= 3, qPrintable(Describe(attempts)));
  for (size_t i = 1; i < attempts.size(); ++i)
    QVERIFY2(attempts[i] - attempts[i - 1] >= 1500, qPrintable(Describe(attempts)));

  server->Route(kManifestPath, Manifest());
  server->Route("/signin", SignInPage());
  // The next step of the back-off is 16 s at most from here, 60 s never exceeded.
  const QString window = WaitForWindow(kSignInTitle, {}, 60000);
  QVERIFY2(!window.isEmpty(), "the check should succeed by itself and open the sign-in page");
  // No attempt after the one that succeeded, and none alongside it.
  QCOMPARE(size_t(CountRequests(*server, kManifestPath)), dropped.Times().size() + 1);
  QTest::qWait(2500);
  QCOMPARE(size_t(CountRequests(*server, kManifestPath)), dropped.Times().size() + 1);
}

// The sign-in page cannot be reached: a notice a screen reader reads says so,
// and the page loads by itself once the service answers; the notice goes.
void NetworkRecoveryTest::servicePageComesBackByItself() {
  const vorla::testing::ScreenReaderBus atSpi;
  QVERIFY(atSpi.IsValid());

  // The update check gets through; the service's page does not.
  auto server = std::make_unique<LoopbackServer>();
  const uint16_t port = server->Port();
  server->Route(kManifestPath, Manifest());
  server->Route("/signin", Response{.dropBeforeResponse = true});
  QProcessEnvironment extra;
  extra.insert("DBUS_SESSION_BUS_ADDRESS", atSpi.Address());
  extra.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  Start(port, extra);
  const qint64 pid = m_process->processId();
  QTRY_VERIFY_WITH_TIMEOUT(ShowsAccessible(pid, kUnreachable), 30000);
  QVERIFY(ShowsAccessible(pid, kReload, ATSPI_ROLE_PUSH_BUTTON));

  // The reloads keep to the back-off (1, 2, 4 s): in 2.5 s two or three
  // loads, not a loop.
  QTest::qWait(2500);
  const int failedLoads = CountRequests(*server, "/signin");
  QVERIFY2(failedLoads >= 1 && failedLoads <= 3, qPrintable(QString::number(failedLoads)));

  // Then nothing listens at all for a while; the notice stays.
  server.reset();
  QTest::qWait(3000);
  QVERIFY(ShowsAccessible(pid, kUnreachable));

  server = std::make_unique<LoopbackServer>(port);
  server->Route(kManifestPath, Manifest());
  server->Route("/signin", SignInPage());
  const QString window = WaitForWindow(kSignInTitle, {}, 60000);
  QVERIFY2(!window.isEmpty(), "the page should load by itself once the service answers");
  QTRY_VERIFY_WITH_TIMEOUT(!ShowsAccessible(pid, kUnreachable), 10000);
  QCOMPARE(CountRequests(*server, "/signin"), 1);
}

// A proxy that asks for a password: Cancel in the dialog shows the proxy's
// own answer; the next request asks again, and the password typed in the
// dialog from the keyboard gets the page. Nothing is stored.
void NetworkRecoveryTest::proxyAsksForAPassword() {
  LoopbackServer server;
  server.Route(kManifestPath, Manifest());
  // "alice:s3cret" in Basic.
  server.SetFallback([](const Request& request) {
    if (request.Header("Proxy-Authorization") == "Basic YWxpY2U6czNjcmV0")
      return Response{.headers = {{"Content-Type", "text/html"}},
                      .body = "<html><head><title>Vendor Home</title></head>Home</html>"};
    return Response{.status = 407,
                    .headers = {{"Proxy-Authenticate", "Basic realm=\"office\""}, {"Content-Type", "text/html"}},
                    .body = "<html><head><title>Proxy says no</title></head></html>"};
  });
  Start(server.Port());
  const QString cancelled = WaitForWindow(kCredentialsCaption, {}, 30000);
  QVERIFY2(!cancelled.isEmpty(), "the proxy's 407 should open the credentials dialog");
  Xdotool({"windowraise", cancelled});
  Xdotool({"windowfocus", "--sync", cancelled});
  Xdotool({"key", "Escape"});
  QVERIFY2(!WaitForWindow(QStringLiteral("Proxy says no"), {}, 20000).isEmpty(),
           "Cancel should show the proxy's own answer");

  // The vendor's home page in a pop-up goes through the proxy too.
  ::kill(pid_t(m_process->processId()), SIGUSR1);
  const QString dialog = WaitForWindow(kCredentialsCaption, {}, 30000);
  QVERIFY2(!dialog.isEmpty(), "the next request should ask again");
  Xdotool({"windowraise", dialog});
  Xdotool({"windowfocus", "--sync", dialog});
  Xdotool({"type", "--delay", "30", "alice"});
  Xdotool({"key", "Tab"});
  Xdotool({"type", "--delay", "30", "s3cret"});
  Xdotool({"key", "Return"});
  QVERIFY2(!WaitForWindow(QStringLiteral("Vendor Home"), {}, 30000).isEmpty(),
           "the page should load with the password typed in");

  // Ended in order, so the engine has written all it keeps: no password there.
  m_process->terminate();
  QVERIFY(m_process->waitForFinished(15000));
  QDirIterator files(Path("data"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (files.hasNext()) {
    QFile file(files.next());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY2(!file.readAll().contains("s3cret"), qPrintable(file.fileName()));
  }
}

QTEST_MAIN(NetworkRecoveryTest)
#include "network_recovery_test.moc"
