// The real binding on a Wayland compositor: sway, headless, run as an ordinary
// user (sway refuses root) with binding beside it, the sandbox on. The sign-in
// page loads, the home-page pop-up opens as a window of its own, the exit
// question is answered from the keyboard, and every window carries the desktop
// entry's name as its app id, which the shell matches to the entry; so does
// the updater's window.

#include <unistd.h>

#include <csignal>
#include <memory>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "testsupport/engine_processes.h"
#include "testsupport/loopback_server.h"

using vorla::testing::CountRequests;
using vorla::testing::LoopbackServer;
using vorla::testing::RendererPids;
using vorla::testing::Response;
using vorla::testing::SeccompMode;

namespace {

const QString kSignInTitle = QStringLiteral("Vorla Sign-in");
const QString kVendorTitle = QStringLiteral("Vorla Vendor Home");
const QString kCaption = QStringLiteral("Vorla");
const QString kUpgradeTitle = QStringLiteral("升级");
constexpr uid_t kNobody = 65534;

// One window as sway's tree shows it.
struct View {
  qint64 id = 0;
  QString title;
  QString appId;
};

void CollectViews(const QJsonObject& node, QList<View>& views) {
  if (node.contains("app_id"))
    views.append({node["id"].toInteger(), node["name"].toString(), node["app_id"].toString()});
  for (const char* children : {"nodes", "floating_nodes"})
    for (const QJsonValue& child : node[children].toArray())
      CollectViews(child.toObject(), views);
}

}  // namespace

class BindingWaylandTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void signInPopupAndExitQuestion();

 private:
  QString Path(const QString& relative) const { return m_temp->filePath(relative); }
  // Starts `program` as the unprivileged user where the test runs as root.
  void StartAsUser(QProcess& process, const QString& program, const QStringList& arguments,
                   const QProcessEnvironment& environment);
  // Starts sway; an empty text once it serves, else why it cannot run.
  QString StartSway();
  // Runs a sway command-line tool against the test's sway; its output, empty on a failure.
  QString Tool(const QString& program, const QStringList& arguments);
  QList<View> Views();
  // The window titled `title` that is none of `known`; a zero id after 30 s without.
  View WaitForView(const QString& title, const QList<qint64>& known = {});
  bool HasView(qint64 id);
  // Types `key` into the question `id`, as a user at the keyboard, until it has gone (a few tries).
  bool Answer(qint64 id, const QString& key);

  std::unique_ptr<QTemporaryDir> m_temp;
  std::unique_ptr<LoopbackServer> m_server;
  QProcess m_sway;
  QString m_waylandDisplay;
  QString m_swaySocket;
};

void BindingWaylandTest::init() {
  m_temp = std::make_unique<QTemporaryDir>();
  QVERIFY(m_temp->isValid());
  QVERIFY(QDir().mkpath(Path("bin")));
  QVERIFY(QFile::copy(BINDING_PROGRAM, Path("bin/binding")));
  QVERIFY(QFile::copy(UPGRADE_PROGRAM, Path("bin/upgrade")));
  // The user's own folders; the runtime folder (sockets, instance lock) theirs alone.
  for (const char* folder : {"data", "home", "work", "tmp", "run"})
    QVERIFY(QDir().mkpath(Path(folder)));
  QVERIFY(QFile::setPermissions(Path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  if (geteuid() == 0) {
    QVERIFY(QFile::setPermissions(m_temp->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                      QFile::ReadOther | QFile::ExeOther));
    for (const char* folder : {"data", "home", "work", "tmp", "run"})
      QCOMPARE(::chown(Path(folder).toLocal8Bit().constData(), kNobody, kNobody), 0);
  }
  QFile config(Path("sway-config"));
  QVERIFY(config.open(QIODevice::WriteOnly));
  config.write("xwayland disable\noutput HEADLESS-1 resolution 1280x1024\n");
  config.close();

  m_server = std::make_unique<LoopbackServer>();
  m_server->Route("/pcupdate/update.xml",
                  Response{.body = "<update><version>3.0.0.7</version><webversion>w1</webversion></update>"});
  m_server->Route("/signin", Response{.headers = {{"Content-Type", "text/html"}},
                                      .body = "<html><head><title>" + kSignInTitle.toStdString() +
                                              "</title></head><body>Sign in<script>addEventListener('load',"
                                              "()=>fetch('/loaded'));</script></body></html>"});
  m_server->Route("/loaded", Response{.body = "ok"});
  // The vendor's home page tells when it goes.
  m_server->Route("/", Response{.headers = {{"Content-Type", "text/html"}},
                                .body = "<html><head><title>" + kVendorTitle.toStdString() +
                                        "</title></head><body>Home<script>addEventListener('pagehide',"
                                        "()=>navigator.sendBeacon('/popup-closed'));</script></body></html>"});
  m_server->Route("/popup-closed", Response{.status = 204});
}

void BindingWaylandTest::cleanup() {
  if (m_sway.state() != QProcess::NotRunning) {
    m_sway.terminate();
    if (!m_sway.waitForFinished(10000)) {
      m_sway.kill();
      m_sway.waitForFinished(5000);
    }
  }
  m_server.reset();
  m_temp.reset();
}

void BindingWaylandTest::StartAsUser(QProcess& process, const QString& program, const QStringList& arguments,
                                     const QProcessEnvironment& environment) {
  process.setProcessEnvironment(environment);
  process.setWorkingDirectory(Path("work"));
  if (geteuid() == 0)
    process.start("setpriv", QStringList{"--reuid=" + QString::number(kNobody), "--regid=" + QString::number(kNobody),
                                         "--clear-groups", program} + arguments);
  else
    process.start(program, arguments);
}

QString BindingWaylandTest::StartSway() {
  const QString sway = QStandardPaths::findExecutable("sway");
  if (sway.isEmpty())
    return "sway is not installed (scripts/install-deps.sh installs it)";
  QProcessEnvironment environment;
  environment.insert("PATH", qEnvironmentVariable("PATH"));
  environment.insert("HOME", Path("home"));
  environment.insert("XDG_RUNTIME_DIR", Path("run"));
  environment.insert("WLR_BACKENDS", "headless");
  environment.insert("WLR_RENDERER", "pixman");
  environment.insert("WLR_LIBINPUT_NO_DEVICES", "1");
  StartAsUser(m_sway, sway, {"--config", Path("sway-config")}, environment);
  if (!m_sway.waitForStarted(10000))
    return "sway does not start: " + m_sway.errorString();
  // Its sockets appear in the runtime folder once it serves.
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 15000 && m_sway.state() == QProcess::Running) {
    const QDir run(Path("run"));
    const QStringList display = run.entryList({"wayland-*"}, QDir::System).filter(QRegularExpression("^wayland-\\d+$"));
    const QStringList ipc = run.entryList({"sway-ipc.*.sock"}, QDir::System);
    if (!display.isEmpty() && !ipc.isEmpty()) {
      m_waylandDisplay = display.first();
      m_swaySocket = run.filePath(ipc.first());
      if (!Tool("swaymsg", {"-t", "get_version"}).isEmpty())
        return {};
    }
    QTest::qWait(100);
  }
  return "sway cannot run here: " + QString::fromLocal8Bit(m_sway.readAllStandardError().right(2000));
}

QString BindingWaylandTest::Tool(const QString& program, const QStringList& arguments) {
  QProcess tool;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("SWAYSOCK", m_swaySocket);
  environment.insert("XDG_RUNTIME_DIR", Path("run"));
  environment.insert("WAYLAND_DISPLAY", m_waylandDisplay);
  tool.setProcessEnvironment(environment);
  tool.start(program, arguments);
  if (!tool.waitForFinished(10000)) {
    tool.kill();
    tool.waitForFinished(1000);
    return {};
  }
  if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
    return {};
  const QString output = QString::fromUtf8(tool.readAllStandardOutput());
  return output.isEmpty() ? QStringLiteral("ok") : output;
}

QList<View> BindingWaylandTest::Views() {
  QList<View> views;
  CollectViews(QJsonDocument::fromJson(Tool("swaymsg", {"-r", "-t", "get_tree"}).toUtf8()).object(), views);
  return views;
}

View BindingWaylandTest::WaitForView(const QString& title, const QList<qint64>& known) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 30000) {
    for (const View& view : Views())
      if (view.title == title && !known.contains(view.id))
        return view;
    QTest::qWait(200);
  }
  return {};
}

bool BindingWaylandTest::HasView(qint64 id) {
  for (const View& view : Views())
    if (view.id == id)
      return true;
  return false;
}

bool BindingWaylandTest::Answer(qint64 id, const QString& key) {
  // wtype's keyboard joins the seat as it starts, and the window may not
  // have taken it yet when the key comes: typed again until the question goes.
  for (int attempt = 0; attempt < 5; ++attempt) {
    Tool("swaymsg", {QStringLiteral("[con_id=%1] focus").arg(id)});
    Tool("wtype", {"-s", "300", "-k", key});
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 2000) {
      if (!HasView(id))
        return true;
      QTest::qWait(100);
    }
  }
  return false;
}

void BindingWaylandTest::signInPopupAndExitQuestion() {
  const QString whyNot = StartSway();
  if (!whyNot.isEmpty())
    QSKIP(qPrintable(whyNot));
  QVERIFY2(!QStandardPaths::findExecutable("wtype").isEmpty(), "wtype is not installed (scripts/install-deps.sh installs it)");

  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "wayland");
  environment.insert("WAYLAND_DISPLAY", m_waylandDisplay);
  environment.remove("DISPLAY");
  environment.remove("XAUTHORITY");
  environment.remove("DBUS_SESSION_BUS_ADDRESS");
  environment.insert("XDG_RUNTIME_DIR", Path("run"));
  environment.insert("XDG_DATA_HOME", Path("data"));
  environment.insert("HOME", Path("home"));
  environment.insert("TMPDIR", Path("tmp"));
  environment.insert("http_proxy", QString::fromStdString(m_server->BaseUrl()));
  environment.remove("no_proxy");
  environment.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
  // As on most desktops: accessibility changes the engine's paths.
  environment.remove("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
  QProcess binding;
  StartAsUser(binding, Path("bin/binding"), {}, environment);
  QVERIFY(binding.waitForStarted(10000));

  // The sign-in page, natively on Wayland, under the desktop entry's name.
  const View main = WaitForView(kSignInTitle);
  QVERIFY2(main.id != 0, binding.readAllStandardError().right(4000).constData());
  QCOMPARE(main.appId, QString(APP_ID));
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 1, 10000);
  const QList<int> renderers = RendererPids(int(binding.processId()));
  QVERIFY(!renderers.isEmpty());
  for (int pid : renderers)
    QCOMPARE(SeccompMode(pid), 2);

  // The home page in a pop-up: a window of its own, grouped with the main one.
  ::kill(pid_t(binding.processId()), SIGUSR1);
  const View popup = WaitForView(kVendorTitle);
  QVERIFY2(popup.id != 0, "the home-page request should open a pop-up window");
  QVERIFY(popup.id != main.id);
  QCOMPARE(popup.appId, QString(APP_ID));

  // The shell's close asks; No keeps the program.
  QVERIFY(!Tool("swaymsg", {QStringLiteral("[con_id=%1] kill").arg(main.id)}).isEmpty());
  View question = WaitForView(kCaption);
  QVERIFY2(question.id != 0, "the close request should ask the exit question");
  QCOMPARE(question.appId, QString(APP_ID));
  QVERIFY2(Answer(question.id, "Escape"), "Escape should answer the question");
  QTest::qWait(500);
  QCOMPARE(binding.state(), QProcess::Running);
  QVERIFY(HasView(main.id));

  // Asked again, Yes ends it, pop-up and all.
  QVERIFY(!Tool("swaymsg", {QStringLiteral("[con_id=%1] kill").arg(main.id)}).isEmpty());
  question = WaitForView(kCaption, {question.id});
  QVERIFY2(question.id != 0, "the second close request should ask again");
  QVERIFY2(Answer(question.id, "Return"), "Return should answer the question");
  QVERIFY2(binding.waitForFinished(15000), "Yes should end the program");
  QCOMPARE(binding.exitStatus(), QProcess::NormalExit);
  QCOMPARE(binding.exitCode(), 0);
  QCOMPARE(CountRequests(*m_server, "/popup-closed"), 1);

  // The updater belongs to the same entry.
  QProcess upgrade;
  StartAsUser(upgrade, Path("bin/upgrade"), {"-vorla"}, environment);
  QVERIFY(upgrade.waitForStarted(10000));
  const View updater = WaitForView(kUpgradeTitle);
  QVERIFY2(updater.id != 0, upgrade.readAllStandardError().right(4000).constData());
  QCOMPARE(updater.appId, QString(APP_ID));
  upgrade.kill();
  QVERIFY(upgrade.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(BindingWaylandTest)
#include "binding_wayland_test.moc"
