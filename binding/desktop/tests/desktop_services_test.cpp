// The real binding on a session bus of the test's own, beside a notification
// server of the test's own: which pages may notify, what reaches the desktop,
// what the desktop's answers do to the page and the window, and the unread
// count on the launcher. The service's pages come from a loopback server as
// http_proxy; the page takes its next step from the test through /command and
// tells what happened through /report.

#include <csignal>
#include <deque>
#include <memory>
#include <mutex>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include "testsupport/loopback_server.h"
#include "testsupport/xdotool.h"

using vorla::testing::FocusedWindow;
using vorla::testing::IsMapped;
using vorla::testing::LoopbackServer;
using vorla::testing::MinimiseAsWindowManager;
using vorla::testing::Request;
using vorla::testing::Response;
using vorla::testing::WaitForWindow;
using vorla::testing::WindowStateRequests;

namespace {

const QString kSignInTitle = QStringLiteral("Vorla Sign-in");
const QString kNotificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const char kDesktopEntry[] = "example.vorla.binding";

// A bus with no services to start and a policy that lets the test own any name.
const char kBusConfig[] =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>session</type>\n"
    "  <listen>unix:dir=@DIR@</listen>\n"
    "  <auth>EXTERNAL</auth>\n"
    "  <policy context=\"default\">\n"
    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
    "    <allow eavesdrop=\"true\"/>\n"
    "    <allow own=\"*\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

// The page's script: reports, a notification maker, and the command loop.
const char kPageScript[] =
    "\n"
    "const report = (what) => fetch('/report?' + encodeURIComponent(what), {cache: 'no-store'});\n"
    "const shown = {};\n"
    "function show(tag, title, body) {\n"
    "  const n = new Notification(title, {body, tag});\n"
    "  n.onshow = () => report('show ' + title);\n"
    "  n.onclick = () => report('click ' + title);\n"
    "  n.onclose = () => report('close ' + title);\n"
    "  shown[title] = n;\n"
    "}\n"
    "async function commands() {\n"
    "  for (;;) {\n"
    "    const code = await (await fetch('/command', {cache: 'no-store'})).text();\n"
    "    if (code)\n"
    "      try { eval(code); } catch (e) { report('error ' + e); }\n"
    "    else\n"
    "      await new Promise((resolve) => setTimeout(resolve, 100));\n"
    "  }\n"
    "}\n"
    "addEventListener('load', async () => {\n"
    "  report('secure ' + isSecureContext);\n"
    "  report('permission ' + (window.Notification ? await Notification.requestPermission() : 'none'));\n"
    "  navigator.geolocation.getCurrentPosition(() => report('location granted'), (e) => report('location ' + e.code));\n"
    "  if (location.pathname == '/signin')\n"
    "    commands();\n"
    "});\n";

}  // namespace

// What a notification server is asked, as the desktop's would be.
class FakeNotificationServer : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Notified {
    uint id;
    QString appName, appIcon, summary, body;
    uint replacesId;
    QStringList actions;
    QVariantMap hints;
  };
  QList<Notified> notified;
  QList<uint> closed;

 public slots:
  uint Notify(const QString& appName, uint replacesId, const QString& appIcon, const QString& summary,
              const QString& body, const QStringList& actions, const QVariantMap& hints, int) {
    const uint id = replacesId != 0 ? replacesId : ++m_lastId;
    notified << Notified{id, appName, appIcon, summary, body, replacesId, actions, hints};
    return id;
  }
  void CloseNotification(uint id) { closed << id; }
  QStringList GetCapabilities() { return {"body", "actions", "body-markup"}; }

 private:
  uint m_lastId = 0;
};

// The launcher-entry signals the bus carries.
class LauncherListener : public QObject {
  Q_OBJECT

 public:
  QStringList updates;  // "<app uri> <count> <count-visible>"

 public slots:
  void OnUpdate(const QString& appUri, const QVariantMap& properties) {
    updates << QStringLiteral("%1 %2 %3")
                   .arg(appUri, properties.value("count").toString(), properties.value("count-visible").toString());
  }
};

namespace {

// A binding the test leaves running goes with it.
auto KillAtEnd(QProcess& process) {
  return qScopeGuard([&process] {
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished(5000);
    }
  });
}

}  // namespace

class DesktopServicesTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void grantOnPlainHttp();
  void notificationsOnHttps();
  void untrustedCertificateShowsTheError();

 private:
  QString Path(const QString& relative) const { return m_temp->filePath(relative); }
  // Starts a private bus; its address, or empty.
  QString StartBus();
  // `flags`: the engine's, beside --disable-gpu.
  void Start(QProcess& process, const QString& program, const QString& flags = {});
  // The HTTPS build, the service's name leading to the TLS front on
  // `tlsPort`; the vendor's still goes through http_proxy.
  void StartHttps(QProcess& process, int tlsPort) {
    Start(process, BINDING_HTTPS_PROGRAM,
          QStringLiteral("\"--host-resolver-rules=MAP %1:443 127.0.0.1:%2\"").arg(SERVICE_HOST).arg(tlsPort));
  }
  // Serves the loopback server over TLS too, with a certificate of a test
  // authority that only this test's HOME trusts (with `trusted`); the
  // front's port, or 0.
  int StartTls(bool trusted = true);
  // The page runs `code` at its next turn.
  void Command(const std::string& code);
  QStringList Reports() const;
  // A server signal, as the desktop's notification service sends it.
  void SendSignal(const QString& name, const QVariantList& arguments);
  // Ends binding as the session's end does; it must go at once.
  void End(QProcess& process);

  std::unique_ptr<QTemporaryDir> m_temp;
  std::unique_ptr<LoopbackServer> m_server;
  QProcess m_bus;
  QProcess m_tls;
  QString m_busAddress;
  std::mutex m_commandsMutex;
  std::deque<std::string> m_commands;
};

void DesktopServicesTest::init() {
  m_temp = std::make_unique<QTemporaryDir>();
  QVERIFY(m_temp->isValid());
  for (const char* folder : {"home", "data", "bus"})
    QVERIFY(QDir().mkpath(Path(folder)));
  QVERIFY(QDir().mkpath(Path("run")));
  QVERIFY(QFile::setPermissions(Path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

  m_server = std::make_unique<LoopbackServer>();
  m_server->Route("/pcupdate/update.xml", Response{.body = "<update><version>3.0.0.7</version><webversion>w1"
                                                           "</webversion><updatetype>0</updatetype></update>"});
  const Response page{.headers = {{"Content-Type", "text/html; charset=utf-8"}},
                      .body = "<html><head><title>" + kSignInTitle.toStdString() + "</title></head><body>Sign in<script>" +
                              kPageScript + "</script></body></html>"};
  m_server->Route("/signin", page);
  m_server->Route("/other", page);
  m_server->Route("/report", Response{.status = 204, .headers = {{"Cache-Control", "no-store"}}});
  m_server->Route("/command", [this](const Request&) {
    std::lock_guard lock(m_commandsMutex);
    std::string code;
    if (!m_commands.empty()) {
      code = m_commands.front();
      m_commands.pop_front();
    }
    return Response{.headers = {{"Cache-Control", "no-store"}}, .body = code};
  });

  m_busAddress = StartBus();
  QVERIFY(!m_busAddress.isEmpty());
}

void DesktopServicesTest::cleanup() {
  QDBusConnection::disconnectFromBus("private");
  for (QProcess* helper : {&m_bus, &m_tls}) {
    if (helper->state() != QProcess::NotRunning) {
      helper->terminate();
      if (!helper->waitForFinished(5000)) {
        helper->kill();
        helper->waitForFinished(5000);
      }
    }
  }
  m_server.reset();
  m_temp.reset();
}

QString DesktopServicesTest::StartBus() {
  QFile config(Path("bus.conf"));
  if (!config.open(QIODevice::WriteOnly))
    return {};
  config.write(QByteArray(kBusConfig).replace("@DIR@", Path("bus").toUtf8()));
  config.close();
  m_bus.start("dbus-daemon", {"--config-file=" + Path("bus.conf"), "--nofork", "--print-address"});
  if (!m_bus.waitForStarted(5000) || !m_bus.waitForReadyRead(5000))
    return {};
  const QString address = QString::fromUtf8(m_bus.readLine().trimmed());
  return QDBusConnection::connectToBus(address, "private").isConnected() ? address : QString();
}

int DesktopServicesTest::StartTls(bool trusted) {
  // Each step a program that ends within seconds.
  const QString subject = QStringLiteral("/CN=") + SERVICE_HOST;
  const QList<QStringList> steps = {
      {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
       "-subj", "/CN=Vorla Test CA", "-keyout", Path("ca.key"), "-out", Path("ca.pem"), "-addext",
       "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
      {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
       "-subj", subject, "-keyout", Path("server.key"), "-out", Path("server.pem"), "-CA", Path("ca.pem"), "-CAkey",
       Path("ca.key"), "-addext", QStringLiteral("subjectAltName=DNS:") + SERVICE_HOST, "-addext",
       "basicConstraints=CA:FALSE", "-addext", "extendedKeyUsage=serverAuth"},
      // Chromium on Linux trusts what the user's NSS database trusts.
      {"certutil", "-d", "sql:" + Path("home/.pki/nssdb"), "-N", "--empty-password"},
      {"certutil", "-d", "sql:" + Path("home/.pki/nssdb"), "-A", "-t", "C,,", "-n", "vorla-test-ca", "-i",
       Path("ca.pem")},
  };
  if (!QDir().mkpath(Path("home/.pki/nssdb")))
    return 0;
  for (const QStringList& step : trusted ? steps : steps.mid(0, 2)) {
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tool.start(step.first(), step.mid(1));
    if (!tool.waitForFinished(20000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
      qWarning() << "failed:" << step;
      tool.kill();
      tool.waitForFinished(1000);
      return 0;
    }
  }
  m_tls.start("python3", {TLS_FRONT, Path("server.pem"), Path("server.key"), QString::number(m_server->Port())});
  if (!m_tls.waitForStarted(5000) || !m_tls.waitForReadyRead(10000))
    return 0;
  return m_tls.readLine().trimmed().toInt();
}

void DesktopServicesTest::Start(QProcess& process, const QString& program, const QString& flags) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("http_proxy", QString::fromStdString(m_server->BaseUrl()));
  environment.remove("no_proxy");
  environment.remove("https_proxy");
  environment.insert("XDG_DATA_HOME", Path("data"));
  environment.insert("HOME", Path("home"));
  environment.insert("XDG_RUNTIME_DIR", Path("run"));
  environment.insert("DBUS_SESSION_BUS_ADDRESS", m_busAddress);
  environment.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu " + flags);
  // As on most desktops: accessibility changes the engine's paths.
  environment.remove("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
  process.setProcessEnvironment(environment);
  process.setWorkingDirectory(Path("home"));
  process.setProcessChannelMode(QProcess::ForwardedChannels);
  process.start(program, {});
  QVERIFY(process.waitForStarted(10000));
}

void DesktopServicesTest::Command(const std::string& code) {
  std::lock_guard lock(m_commandsMutex);
  m_commands.push_back(code);
}

QStringList DesktopServicesTest::Reports() const {
  QStringList reports;
  for (const Request& request : m_server->Requests())
    if (request.path.starts_with("/report?"))
      reports << QUrl::fromPercentEncoding(QByteArray::fromStdString(request.path.substr(8)));
  return reports;
}

void DesktopServicesTest::SendSignal(const QString& name, const QVariantList& arguments) {
  QDBusMessage signal = QDBusMessage::createSignal(kNotificationsPath, kNotificationsService, name);
  signal.setArguments(arguments);
  QVERIFY(QDBusConnection("private").send(signal));
}

void DesktopServicesTest::End(QProcess& process) {
  ::kill(process.processId(), SIGTERM);
  QVERIFY2(process.waitForFinished(15000), "binding should end at once");
  QCOMPARE(process.exitCode(), 0);
}

// The plain-HTTP build: the engine takes the service's own origin as a secure
// one, so the service's page may ask, and is granted notifications.
void DesktopServicesTest::grantOnPlainHttp() {
  QProcess process;
  Start(process, BINDING_PROGRAM);
  auto stop = KillAtEnd(process);
  QVERIFY(!WaitForWindow(kSignInTitle, {}, 30000).isEmpty());
  QTRY_VERIFY2_WITH_TIMEOUT(Reports().contains("permission granted"), qPrintable(Reports().join(", ")), 20000);
  End(process);
}

// The HTTPS build, its sign-in page over TLS and no insecure origin made
// secure. One run: the service's page is granted notifications, another
// host's secure page is denied them, and neither gets any other permission; a
// notification reaches the desktop with its hint and asks for the window's
// attention; a click runs the page's handler and brings the window forward;
// the same tag replaces; closes go both ways; the title's count reaches the
// launcher; and once the notification service has left the bus, a
// notification is dropped quietly.
void DesktopServicesTest::notificationsOnHttps() {
  const int tlsPort = StartTls();
  QVERIFY(tlsPort > 0);
  QDBusConnection bus("private");
  FakeNotificationServer server;
  QVERIFY(bus.registerObject(kNotificationsPath, &server, QDBusConnection::ExportAllSlots));
  QVERIFY(bus.registerService(kNotificationsService));
  LauncherListener launcher;
  QVERIFY(bus.connect(QString(), QString(), "com.canonical.Unity.LauncherEntry", "Update", &launcher,
                      SLOT(OnUpdate(QString, QVariantMap))));

  QProcess process;
  StartHttps(process, tlsPort);
  auto stop = KillAtEnd(process);
  const QString window = WaitForWindow(kSignInTitle, {}, 30000);
  QVERIFY(!window.isEmpty());
  QTRY_VERIFY2_WITH_TIMEOUT(Reports().contains("permission granted"), qPrintable(Reports().join(", ")), 20000);
  QVERIFY2(Reports().contains("secure true"), qPrintable(Reports().join(", ")));
  QTRY_VERIFY_WITH_TIMEOUT(Reports().contains("location 1"), 10000);

  // Shown while the window is minimised.
  WindowStateRequests attention("_NET_WM_STATE_DEMANDS_ATTENTION");
  MinimiseAsWindowManager(window);
  QTRY_VERIFY_WITH_TIMEOUT(!IsMapped(window), 5000);
  Command("show('t1', '会议', '三点 <b>开会</b>')");
  QTRY_VERIFY2_WITH_TIMEOUT(server.notified.size() == 1, qPrintable(Reports().join(", ")), 10000);
  const FakeNotificationServer::Notified first = server.notified[0];
  QCOMPARE(first.summary, QStringLiteral("会议"));
  QCOMPARE(first.body, QStringLiteral("三点 &lt;b&gt;开会&lt;/b&gt;"));
  QCOMPARE(first.hints.value("desktop-entry").toString(), QString(kDesktopEntry));
  QCOMPARE(first.appIcon, QString(kDesktopEntry));
  QVERIFY(first.actions.contains("default"));
  QCOMPARE(first.replacesId, 0u);
  QTRY_VERIFY_WITH_TIMEOUT(Reports().contains("show 会议"), 10000);
  QTRY_VERIFY_WITH_TIMEOUT(attention.Seen().contains("+" + window), 5000);

  // A click on it.
  SendSignal("ActivationToken", {first.id, QStringLiteral("token-1")});
  SendSignal("ActionInvoked", {first.id, QStringLiteral("default")});
  QTRY_VERIFY_WITH_TIMEOUT(Reports().contains("click 会议"), 10000);
  QTRY_VERIFY2_WITH_TIMEOUT(IsMapped(window), "a click should show the window again", 5000);
  QTRY_COMPARE_WITH_TIMEOUT(FocusedWindow(), window, 5000);

  // The same tag takes its place; the desktop closes that one.
  Command("show('t1', '会议改期', '四点')");
  QTRY_COMPARE_WITH_TIMEOUT(server.notified.size(), 2, 10000);
  QCOMPARE(server.notified[1].replacesId, first.id);
  QTRY_VERIFY_WITH_TIMEOUT(Reports().contains("show 会议改期"), 10000);
  SendSignal("NotificationClosed", {server.notified[1].id, 2u});
  QTRY_VERIFY_WITH_TIMEOUT(Reports().contains("close 会议改期"), 10000);

  // The page closes its own.
  Command("show('t2', '报告', '已完成')");
  QTRY_COMPARE_WITH_TIMEOUT(server.notified.size(), 3, 10000);
  QTRY_VERIFY_WITH_TIMEOUT(Reports().contains("show 报告"), 10000);
  Command("shown['报告'].close()");
  QTRY_COMPARE_WITH_TIMEOUT(server.closed, QList<uint>{server.notified[2].id}, 10000);

  // The unread count comes and goes with the title.
  const QString uri = QStringLiteral("application://%1.desktop").arg(kDesktopEntry);
  Command("document.title = '(3) 收件箱'");
  QTRY_COMPARE_WITH_TIMEOUT(launcher.updates, QStringList{uri + " 3 true"}, 10000);
  Command("document.title = '收件箱'");
  QTRY_COMPARE_WITH_TIMEOUT(launcher.updates, QStringList({uri + " 3 true", uri + " 0 false"}), 10000);

  // Another host's page, a secure context too, is denied.
  Command("window.open('" + m_server->Url("/other") + "')");
  QTRY_COMPARE_WITH_TIMEOUT(Reports().count("secure true"), 2, 20000);
  QTRY_VERIFY_WITH_TIMEOUT(Reports().contains("permission denied"), 10000);

  // No notification service: nothing shows, and the page goes on.
  QVERIFY(bus.unregisterService(kNotificationsService));
  Command("show('t3', '无人', '…')");
  Command("report('alive')");
  QTRY_VERIFY_WITH_TIMEOUT(Reports().contains("alive"), 10000);
  QTest::qWait(500);
  QCOMPARE(server.notified.size(), 3);
  QVERIFY(!Reports().contains("show 无人"));
  QVERIFY2(!Reports().join(',').contains("error"), qPrintable(Reports().join(", ")));
  End(process);
}

// A certificate the engine does not trust is never accepted: the window shows
// the engine's error page, and no request reaches the service.
void DesktopServicesTest::untrustedCertificateShowsTheError() {
  const int tlsPort = StartTls(false);
  QVERIFY(tlsPort > 0);
  QProcess process;
  StartHttps(process, tlsPort);
  auto stop = KillAtEnd(process);
  // The error page is titled with the host it could not reach.
  QVERIFY(!WaitForWindow(SERVICE_HOST, {}, 30000).isEmpty());
  QCOMPARE(vorla::testing::CountRequests(*m_server, "/signin"), 0);
  End(process);
}

QTEST_MAIN(DesktopServicesTest)
#include "desktop_services_test.moc"
