// The real binding under Xvfb, end to end: a copy of the program beside a fake
// updater, the built-in hosts answered by a loopback server as http_proxy, the
// user's data in a temporary XDG_DATA_HOME, the windows driven with xdotool and
// closed the way a window manager closes them.

#include <unistd.h>

#include <csignal>
#include <memory>

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QVersionNumber>
#include <QtTest>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <atspi/atspi.h>

#include "testsupport/engine_processes.h"
#include "testsupport/loopback_server.h"
#include "testsupport/screen_reader_bus.h"
#include "testsupport/xdotool.h"

using vorla::testing::Click;
using vorla::testing::FocusedWindow;
using vorla::testing::IsMapped;
using vorla::testing::MinimiseAsWindowManager;
using vorla::testing::AnswerQuestion;
using vorla::testing::CountRequests;
using vorla::testing::LoopbackServer;
using vorla::testing::RendererPids;
using vorla::testing::Request;
using vorla::testing::Response;
using vorla::testing::SeccompMode;
using vorla::testing::ScreenReaderBus;
using vorla::testing::SendCloseRequest;
using vorla::testing::WaitForWindow;
using vorla::testing::Windows;
using vorla::testing::WindowStateRequests;
using vorla::testing::Xdotool;

namespace {

const QString kSignInTitle = QStringLiteral("Vorla Sign-in");
const QString kVendorTitle = QStringLiteral("Vorla Vendor Home");
const QString kCaption = QStringLiteral("Vorla");
const QString kLandingTitle = QStringLiteral("Landing");
// An unprivileged user to run binding as.
constexpr int kNobody = 65534;

// Sends `window` a close request and returns the exit question it asks: a
// window titled "Vorla" that is none of `known`; empty when none comes.
QString AskToClose(const QString& window, const QStringList& known) {
  SendCloseRequest(window);
  return WaitForWindow(kCaption, known, 10000);
}

// Every visible window, whatever its title.
QStringList VisibleWindows() { return Xdotool({"search", "--onlyvisible", "--name", ""}).split('\n', Qt::SkipEmptyParts); }

// Where `window` is and how big, as "x,y widthxheight".
QString Geometry(const QString& window) {
  const QStringList shell = Xdotool({"getwindowgeometry", "--shell", window}).split('\n');
  QStringList values;
  for (const QString& line : shell)
    values << line.section('=', 1);
  return values.size() >= 5 ? values[1] + "," + values[2] + " " + values[3] + "x" + values[4] : QString();
}

// A click at (`x`, `y`) inside `window`, raised first: no window manager stacks it.
void ClickIn(const QString& window, int x, int y) {
  Xdotool({"windowraise", window});
  Xdotool({"mousemove", "--window", window, QString::number(x), QString::number(y)});
  Xdotool({"click", "1"});
}


// The names of the dialogs the program `pid` shows a screen reader, as AT-SPI
// tells them.
QStringList AccessibleDialogs(qint64 pid) {
  QStringList names;
  AtspiAccessible* desktop = atspi_get_desktop(0);
  const int applications = atspi_accessible_get_child_count(desktop, nullptr);
  for (int i = 0; i < applications; ++i) {
    AtspiAccessible* application = atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (!application)
      continue;
    const int windows =
        atspi_accessible_get_process_id(application, nullptr) == pid ? atspi_accessible_get_child_count(application, nullptr) : 0;
    for (int j = 0; j < windows; ++j) {
      AtspiAccessible* window = atspi_accessible_get_child_at_index(application, j, nullptr);
      if (window && atspi_accessible_get_role(window, nullptr) == ATSPI_ROLE_DIALOG) {
        gchar* name = atspi_accessible_get_name(window, nullptr);
        names << QString::fromUtf8(name);
        g_free(name);
      }
      if (window)
        g_object_unref(window);
    }
    g_object_unref(application);
  }
  g_object_unref(desktop);
  return names;
}

QStringList PdfFiles(const QString& folder) {
  QStringList files;
  QDirIterator it(folder, {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext())
    files << it.next();
  return files;
}

QString PdfText(const QString& file) {
  QProcess pdftotext;
  pdftotext.start("pdftotext", {file, "-"});
  if (!pdftotext.waitForFinished(10000))
    pdftotext.kill();
  return QString::fromUtf8(pdftotext.readAllStandardOutput());
}

// A sign-in page of `body`, titled as the real one.
Response SignInPage(const std::string& body) {
  return Response{.headers = {{"Content-Type", "text/html; charset=utf-8"}},
                  .body = "<html><head><title>" + kSignInTitle.toStdString() + "</title></head>" + body + "</html>"};
}

std::string Manifest(const std::string& version, const std::string& webVersion, const std::string& updateType) {
  return "<update><version>" + version + "</version><webversion>" + webVersion + "</webversion><updatetype>" +
         updateType + "</updatetype></update>";
}

}  // namespace

class BindingE2eTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void signedInAcrossRuns_data();
  void signedInAcrossRuns();
  void decisionTable_data();
  void decisionTable();
  void checkFailureShowsNoBrowser();
  void checkResultWhileExitQuestionOpen_data();
  void checkResultWhileExitQuestionOpen();
  void quitDuringStalledCheck();
  void exitQuestionAndPopups();
  void pageComesBackAfterItsRendererDied();
  void downloadWhileExitQuestionOpen();
  void subProcessStartTouchesNothing();
  void linksToOtherSitesOpenOnTheDesktop_data();
  void linksToOtherSitesOpenOnTheDesktop();
  void engineSandbox_data();
  void engineSandbox();
  void startupFailuresEndTheProgram();
  void signalEndsInOrder_data();
  void signalEndsInOrder();
  void secondStartHandsOver();
  void printDialogReadOverAtSpi();
  void printFromPage();
  void fullScreen();

 private:
  QString Path(const QString& relative) const { return m_temp->filePath(relative); }
  QString DataFolder() const { return Path("data/vorla"); }
  QProcessEnvironment Environment() const;
  // With `dataHome`, in that XDG_DATA_HOME instead of the test's own.
  void Start(QProcess& process, const QString& dataHome = {});
  // Starts binding; the main window, once the sign-in page has loaded and
  // titled it, or empty.
  QString StartToSignIn(QProcess& process);
  // Closes `window` through the exit question answered Yes; the process then ends.
  void QuitThroughQuestion(QProcess& process, const QString& window);
  QString UpdaterRecord() const;
  // What the desktop was asked to open, one line each.
  QString DesktopRecord() const;
  // A file in the cache, beside a link to a folder outside the data folder.
  void PlantCacheFile();
  bool CacheFilePlanted() const { return QFile::exists(DataFolder() + "/cache/planted/old.bin"); }
  // An old cache moved aside by a start that was killed before removing it.
  void PlantMovedAside();
  QStringList MovedAside() const {
    return QDir(DataFolder()).entryList({"cache.old-*"}, QDir::AllEntries | QDir::System | QDir::Hidden);
  }
  bool OutsideIntact() const { return QFile::exists(Path("outside/precious")); }
  std::string ReadWebVersion() const;
  // The Cookie header of the last sign-in page request after the first `since` requests.
  std::string SignInCookieSince(size_t since) const;

  std::unique_ptr<QTemporaryDir> m_temp;
  std::unique_ptr<LoopbackServer> m_server;
  std::string m_cookie;
};

void BindingE2eTest::init() {
  m_temp = std::make_unique<QTemporaryDir>();
  QVERIFY(m_temp->isValid());
  // binding takes its updater from its own folder: a copy beside a fake one.
  QVERIFY(QDir().mkpath(Path("bin")));
  QVERIFY(QFile::copy(BINDING_PROGRAM, Path("bin/binding")));
  QFile updater(Path("bin/upgrade"));
  QVERIFY(updater.open(QIODevice::WriteOnly));
  updater.write(("#!/bin/sh\n{ echo $#; for a in \"$@\"; do echo \"$a\"; done; } > '" +
                 Path("upgrade-record").toStdString() + "'\n")
                    .c_str());
  updater.close();
  QVERIFY(updater.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  // The desktop's opener, first in PATH, records what it is handed.
  QVERIFY(QDir().mkpath(Path("desktop")));
  QFile opener(Path("desktop/xdg-open"));
  QVERIFY(opener.open(QIODevice::WriteOnly));
  opener.write(("#!/bin/sh\necho \"$1\" >> '" + Path("desktop-record").toStdString() + "'\n").c_str());
  opener.close();
  QVERIFY(opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  QVERIFY(QDir().mkpath(Path("home")));
  QVERIFY(QDir().mkpath(Path("work")));
  // The instance lock's folder must be ours alone.
  QVERIFY(QDir().mkpath(Path("run")));
  QVERIFY(QFile::setPermissions(Path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

  m_server = std::make_unique<LoopbackServer>();
  m_cookie = "s" + std::to_string(QRandomGenerator::global()->generate());
  // The sign-in page sets a session cookie and, once loaded, asks for a marker.
  m_server->Route("/signin", Response{.headers = {{"Content-Type", "text/html"}},
                                      .body = "<html><head><title>" + kSignInTitle.toStdString() +
                                              "</title></head><body>Sign in<script>document.cookie='session=" +
                                              m_cookie +
                                              "; path=/';addEventListener('load',()=>fetch('/loaded'));"
                                              "addEventListener('resize',()=>fetch('/size?w='+innerWidth+'&h='+innerHeight));"
                                              "</script></body></html>"});
  m_server->Route("/loaded", Response{.body = "ok"});
  m_server->Route("/size", Response{.status = 204});
  // The vendor's home page tells when it goes.
  m_server->Route("/", Response{.headers = {{"Content-Type", "text/html"}},
                                .body = "<html><head><title>" + kVendorTitle.toStdString() +
                                        "</title></head><body>Home<script>addEventListener('pagehide',"
                                        "()=>navigator.sendBeacon('/popup-closed'));</script></body></html>"});
  m_server->Route("/popup-closed", Response{.status = 204});
}

void BindingE2eTest::cleanup() {
  m_server.reset();
  m_temp.reset();
}

QProcessEnvironment BindingE2eTest::Environment() const {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("http_proxy", QString::fromStdString(m_server->BaseUrl()));
  environment.remove("no_proxy");
  environment.insert("XDG_DATA_HOME", Path("data"));
  environment.insert("HOME", Path("home"));
  environment.insert("XDG_RUNTIME_DIR", Path("run"));
  environment.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
  environment.insert("PATH", Path("desktop") + ":" + environment.value("PATH"));
  environment.remove("DEFAULT_BROWSER");
  environment.remove("BROWSER");
  // As on most desktops: accessibility changes the engine's paths.
  environment.remove("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
  return environment;
}

void BindingE2eTest::Start(QProcess& process, const QString& dataHome) {
  QProcessEnvironment environment = Environment();
  if (!dataHome.isEmpty())
    environment.insert("XDG_DATA_HOME", dataHome);
  process.setProcessEnvironment(environment);
  process.setWorkingDirectory(Path("work"));
  process.start(Path("bin/binding"), {});
  QVERIFY(process.waitForStarted(10000));
}

QString BindingE2eTest::StartToSignIn(QProcess& process) {
  Start(process);
  return WaitForWindow(kSignInTitle, {}, 30000);
}

void BindingE2eTest::QuitThroughQuestion(QProcess& process, const QString& window) {
  const QString question = AskToClose(window, Windows(kCaption));
  QVERIFY2(!question.isEmpty(), "the close request should ask the exit question");
  QVERIFY(AnswerQuestion(question, "Return"));
  QVERIFY2(process.waitForFinished(15000), "Yes should end the program");
  QCOMPARE(process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(process.exitCode(), 0);
}

QString BindingE2eTest::UpdaterRecord() const {
  QFile record(Path("upgrade-record"));
  return record.open(QIODevice::ReadOnly) ? QString::fromUtf8(record.readAll()) : QString();
}

QString BindingE2eTest::DesktopRecord() const {
  QFile record(Path("desktop-record"));
  return record.open(QIODevice::ReadOnly) ? QString::fromUtf8(record.readAll()) : QString();
}

void BindingE2eTest::PlantCacheFile() {
  QVERIFY(QDir().mkpath(DataFolder() + "/cache/planted"));
  QFile file(DataFolder() + "/cache/planted/old.bin");
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write("old");
  QVERIFY(QDir().mkpath(Path("outside")));
  QFile precious(Path("outside/precious"));
  QVERIFY(precious.open(QIODevice::WriteOnly));
  const QString link = DataFolder() + "/cache/planted/outside";
  QVERIFY(QFile::exists(link) || QFile::link(Path("outside"), link));
}

void BindingE2eTest::PlantMovedAside() {
  const QString aside = DataFolder() + "/cache.old-4711-1";
  QVERIFY(QDir().mkpath(aside + "/Cache_Data"));
  for (const char* name : {"/Cache_Data/f_000001", "/Cache_Data/f_000002", "/index"}) {
    QFile file(aside + name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("old");
  }
  QVERIFY(QFile::link(Path("outside"), aside + "/Cache_Data/outside"));
}

std::string BindingE2eTest::ReadWebVersion() const {
  QFile file(DataFolder() + "/webversion");
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

std::string BindingE2eTest::SignInCookieSince(size_t since) const {
  std::string cookie;
  const std::vector<Request> requests = m_server->Requests();
  for (size_t i = since; i < requests.size(); ++i)
    if (requests[i].path == "/signin")
      cookie = requests[i].Header("Cookie");
  return cookie;
}

// Two runs: the first stores the web version, empties the cache and is signed
// in by the page's session cookie; the second, after a killed start has left
// an old cache moved aside, sends that cookie again and removes what was left.
void BindingE2eTest::signedInAcrossRuns_data() {
  QTest::addColumn<int>("lingerMs");           // from the page's load to the close request
  QTest::addColumn<QString>("nextWebVersion");  // published at the second start
  QTest::newRow("quit a while after signing in") << 2000 << "w1";
  QTest::newRow("quit within a second of signing in") << 0 << "w1";
  QTest::newRow("web version changed between runs") << 500 << "w2";
}

void BindingE2eTest::signedInAcrossRuns() {
  QFETCH(int, lingerMs);
  QFETCH(QString, nextWebVersion);
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w1", "0")});
  PlantCacheFile();
  {
    QProcess process;
    const QString window = StartToSignIn(process);
    QVERIFY2(!window.isEmpty(), "the sign-in page should title the main window");
    QCOMPARE(ReadWebVersion(), std::string("w1"));
    QVERIFY2(!CacheFilePlanted(), "a first start should empty the cache");
    QTRY_COMPARE_WITH_TIMEOUT(MovedAside(), QStringList(), 10000);
    QVERIFY(OutsideIntact());
    QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 1, 10000);
    QTest::qWait(lingerMs);
    QuitThroughQuestion(process, window);
  }
  for (const Request& request : m_server->Requests())
    QVERIFY(request.path != "/signin" || request.Header("Cookie").empty());

  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", nextWebVersion.toStdString(), "0")});
  PlantCacheFile();
  PlantMovedAside();
  const size_t before = m_server->RequestCount();
  QProcess process;
  const QString window = StartToSignIn(process);
  QVERIFY(!window.isEmpty());
  QCOMPARE(SignInCookieSince(before), "session=" + m_cookie);
  QCOMPARE(ReadWebVersion(), nextWebVersion.toStdString());
  QCOMPARE(CacheFilePlanted(), nextWebVersion == "w1");
  // What the killed start left goes now, purge or not, and nothing its links point at.
  QTRY_COMPARE_WITH_TIMEOUT(MovedAside(), QStringList(), 10000);
  QVERIFY(OutsideIntact());
  // The page follows the window's size (set as a window manager would).
  Xdotool({"windowsize", window, "700", "500"});
  QTRY_VERIFY_WITH_TIMEOUT(CountRequests(*m_server, "/size?w=700&h=500") > 0, 10000);
  QuitThroughQuestion(process, window);
}

// Each row of the decision table through the real program and its fake updater.
void BindingE2eTest::decisionTable_data() {
  QTest::addColumn<QString>("updateType");
  QTest::addColumn<QString>("answer");  // the key for the panel's question; empty: none is asked
  QTest::addColumn<bool>("updates");
  QTest::newRow("optional, Yes") << "0" << "Return" << true;
  QTest::newRow("optional, No") << "0" << "Escape" << false;
  QTest::newRow("mandatory") << "1" << "Return" << true;
  QTest::newRow("silent") << "2" << "" << true;
}

void BindingE2eTest::decisionTable() {
  QFETCH(QString, updateType);
  QFETCH(QString, answer);
  QFETCH(bool, updates);
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.8", "w1", updateType.toStdString())});
  QProcess process;
  Start(process);
  if (!answer.isEmpty()) {
    const QString main = WaitForWindow(kCaption);
    QVERIFY(!main.isEmpty());
    const QString question = WaitForWindow(kCaption, {main});
    QVERIFY2(!question.isEmpty(), "the panel should ask");
    QVERIFY(AnswerQuestion(question, answer));
  }
  if (updates) {
    QVERIFY2(process.waitForFinished(15000), "binding should end after starting the updater");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(UpdaterRecord(), QString("1\n-vorla\n"), 10000);
    QCOMPARE(CountRequests(*m_server, "/signin"), 0);
  } else {
    const QString window = WaitForWindow(kSignInTitle, {}, 30000);
    QVERIFY(!window.isEmpty());
    QuitThroughQuestion(process, window);
    QCOMPARE(UpdaterRecord(), QString());
  }
}

// The failure panel stays; no browser ever loads; the exit question still works.
void BindingE2eTest::checkFailureShowsNoBrowser() {
  m_server->Route("/pcupdate/update.xml", Response{.status = 500});
  QProcess process;
  Start(process);
  const QString main = WaitForWindow(kCaption);
  QVERIFY(!main.isEmpty());
  QVERIFY(m_server->WaitForRequests(1, 10000));
  QTest::qWait(2000);
  QCOMPARE(CountRequests(*m_server, "/signin"), 0);
  QCOMPARE(process.state(), QProcess::Running);
  QuitThroughQuestion(process, main);
  QCOMPARE(CountRequests(*m_server, "/signin"), 0);
}

// The check's result arrives while the exit question is open, for each way the
// check can end; then the questions are answered as a user would.
void BindingE2eTest::checkResultWhileExitQuestionOpen_data() {
  QTest::addColumn<std::string>("manifest");
  QTest::addColumn<int>("status");
  QTest::addColumn<bool>("panelAsks");   // the panel's question comes on top; answered Yes
  QTest::addColumn<bool>("updates");     // the updater starts and the window goes
  QTest::addColumn<bool>("browses");     // the browser is created behind the question
  QTest::newRow("go on") << Manifest("3.0.0.7", "w1", "0") << 200 << false << false << true;
  QTest::newRow("optional update, panel asks on top") << Manifest("3.0.0.8", "w1", "0") << 200 << true << true
                                                      << false;
  QTest::newRow("silent update") << Manifest("3.0.0.8", "w1", "2") << 200 << false << true << false;
  QTest::newRow("failure") << std::string("error") << 500 << false << false << false;
}

void BindingE2eTest::checkResultWhileExitQuestionOpen() {
  QFETCH(std::string, manifest);
  QFETCH(int, status);
  QFETCH(bool, panelAsks);
  QFETCH(bool, updates);
  QFETCH(bool, browses);
  // The answer comes 3 s after the request: time to open the exit question.
  m_server->Route("/pcupdate/update.xml",
                  Response{.status = status, .body = manifest, .pieces = {1}, .pauseMs = 3000});
  QProcess process;
  Start(process);
  const QString main = WaitForWindow(kCaption);
  QVERIFY(!main.isEmpty());
  QVERIFY(m_server->WaitForRequests(1, 10000));
  const QString question = AskToClose(main, {main});
  QVERIFY2(!question.isEmpty(), "the close request should ask the exit question");
  if (panelAsks) {
    const QString panelQuestion = WaitForWindow(kCaption, {main, question}, 10000);
    QVERIFY2(!panelQuestion.isEmpty(), "the panel's question should come on top");
    QVERIFY(AnswerQuestion(panelQuestion, "Return"));
  }
  if (updates) {
    QVERIFY2(process.waitForFinished(15000), "the updater's start should end binding, question and all");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(UpdaterRecord(), QString("1\n-vorla\n"), 10000);
    QCOMPARE(CountRequests(*m_server, "/signin"), 0);
    QVERIFY(Windows(kCaption).isEmpty());
    return;
  }
  QTest::qWait(4000);  // the result has arrived behind the open question
  QCOMPARE(process.state(), QProcess::Running);
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/signin"), browses ? 1 : 0, 10000);
  QStringList questions = Windows(kCaption);
  questions.removeAll(main);
  QCOMPARE(questions, QStringList{question});  // still exactly one question
  QVERIFY(AnswerQuestion(question, "Return"));
  QVERIFY2(process.waitForFinished(15000), "Yes should end the program");
  QCOMPARE(process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(process.exitCode(), 0);
  QCOMPARE(UpdaterRecord(), QString());
}

// Yes while the manifest server stalls ends the program within about a second;
// the home-page request before any browser exists does nothing.
void BindingE2eTest::quitDuringStalledCheck() {
  m_server->Route("/pcupdate/update.xml", Response{.stall = true});
  QProcess process;
  Start(process);
  const QString main = WaitForWindow(kCaption);
  QVERIFY(!main.isEmpty());
  QVERIFY(m_server->WaitForRequests(1, 10000));
  ::kill(static_cast<pid_t>(process.processId()), SIGUSR1);
  QTest::qWait(500);
  QCOMPARE(process.state(), QProcess::Running);

  const QString question = AskToClose(main, {main});
  QVERIFY(!question.isEmpty());
  QVERIFY(AnswerQuestion(question, "Escape"));  // No: the check goes on
  QTest::qWait(500);
  QCOMPARE(process.state(), QProcess::Running);
  QVERIFY(Windows(kCaption).contains(main));

  const QString again = AskToClose(main, {main});
  QVERIFY(!again.isEmpty());
  QElapsedTimer timer;
  timer.start();
  QVERIFY(AnswerQuestion(again, "Return"));
  QVERIFY2(process.waitForFinished(5000), "quitting during a stalled check should end the program");
  qInfo("ended %lld ms after Yes was typed", static_cast<long long>(timer.elapsed()));
  QVERIFY2(timer.elapsed() < 2500, "the check's transfer should stop within about a second");
  QCOMPARE(process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(process.exitCode(), 0);
  QCOMPARE(CountRequests(*m_server, "/"), 0);
  QCOMPARE(CountRequests(*m_server, "/signin"), 0);
}

// No keeps the browser; the home-page request opens pop-ups on the vendor's
// host; Yes ends the program once every pop-up has closed.
void BindingE2eTest::exitQuestionAndPopups() {
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w1", "0")});
  QProcess process;
  const QString window = StartToSignIn(process);
  QVERIFY(!window.isEmpty());

  const QString question = AskToClose(window, {});
  QVERIFY(!question.isEmpty());
  QVERIFY(AnswerQuestion(question, "Escape"));
  QTest::qWait(500);
  QCOMPARE(process.state(), QProcess::Running);
  QVERIFY(Windows(kSignInTitle).contains(window));

  ::kill(static_cast<pid_t>(process.processId()), SIGUSR1);
  const QString first = WaitForWindow(kVendorTitle);
  QVERIFY2(!first.isEmpty(), "the home-page request should open a pop-up");
  ::kill(static_cast<pid_t>(process.processId()), SIGUSR1);
  QVERIFY(!WaitForWindow(kVendorTitle, {first}).isEmpty());
  for (const Request& request : m_server->Requests())
    if (request.path == "/")
      QCOMPARE(request.host, std::string(VENDOR_HOST));

  QuitThroughQuestion(process, window);
  QCOMPARE(CountRequests(*m_server, "/popup-closed"), 2);
}

// A download started by the page while the exit question is open: the save
// dialog comes on top and stores the file in Documents; the main browser's
// close request that follows asks no second question; No keeps the program.
// The renderer killed as the out-of-memory killer would: the sign-in page
// comes back by itself, and the program still ends through its question.
void BindingE2eTest::pageComesBackAfterItsRendererDied() {
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w1", "0")});
  QProcess process;
  const QString window = StartToSignIn(process);
  QVERIFY(!window.isEmpty());
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 1, 10000);
  const QList<int> renderers = RendererPids(int(process.processId()));
  QVERIFY(!renderers.isEmpty());
  for (int pid : renderers)
    ::kill(pid, SIGKILL);
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 2, 20000);
  QCOMPARE(process.state(), QProcess::Running);
  QuitThroughQuestion(process, window);
}

void BindingE2eTest::downloadWhileExitQuestionOpen() {
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w1", "0")});
  m_server->Route("/signin", Response{.headers = {{"Content-Type", "text/html"}},
                                      .body = "<html><head><title>" + kSignInTitle.toStdString() +
                                              "</title></head><body>Sign in<script>addEventListener('load',"
                                              "()=>setTimeout(()=>location='/report.bin',3000));"
                                              "</script></body></html>"});
  m_server->Route("/report.bin", Response{.headers = {{"Content-Type", "application/octet-stream"},
                                                      {"Content-Disposition", "attachment; filename=report.bin"}},
                                          .body = "report"});
  QProcess process;
  const QString window = StartToSignIn(process);
  QVERIFY(!window.isEmpty());
  const QString question = AskToClose(window, {});
  QVERIFY(!question.isEmpty());

  const QString saveDialog = WaitForWindow(QStringLiteral("另存为"), {}, 15000);
  QVERIFY2(!saveDialog.isEmpty(), "the download should offer the save dialog");
  Xdotool({"windowraise", saveDialog});
  Xdotool({"windowfocus", "--sync", saveDialog});
  Xdotool({"key", "Return"});
  const QString saved = Path("home/Documents/report.bin");
  QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(saved) && QFileInfo(saved).size() == 6, 15000);
  QTest::qWait(1000);  // the main browser's close request has come and gone
  QCOMPARE(Windows(kCaption), QStringList{question});

  QVERIFY(AnswerQuestion(question, "Escape"));
  QTest::qWait(500);
  QCOMPARE(process.state(), QProcess::Running);
  QuitThroughQuestion(process, window);
}

// A start with an engine sub-process's switch is the engine's alone: without
// the engine's channel it cannot do its work, but it must open no window and
// create no data folder on the way.
void BindingE2eTest::subProcessStartTouchesNothing() {
  QProcess process;
  process.setProcessEnvironment(Environment());
  process.setWorkingDirectory(Path("work"));
  process.start(Path("bin/binding"), {"--type=renderer"});
  QVERIFY(process.waitForStarted(10000));
  if (!process.waitForFinished(10000)) {
    process.kill();
    process.waitForFinished(5000);
  }
  QVERIFY(Windows(kCaption).isEmpty());
  QVERIFY(!QFile::exists(DataFolder()));
  QVERIFY2(QDir(Path("run")).isEmpty(), "a sub-process start is no instance of its own");
  QCOMPARE(QDir(Path("work")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
  QCOMPARE(m_server->RequestCount(), size_t(0));
}

// A link the user clicks to a site other than ours opens in the desktop's
// browser, and the window keeps its page; our own hosts, script pop-ups and
// server redirects stay inside.
void BindingE2eTest::linksToOtherSitesOpenOnTheDesktop_data() {
  QTest::addColumn<QString>("element");      // what the sign-in page shows, clicked in its middle
  QTest::addColumn<QString>("desktop");      // what the desktop is handed; empty: nothing
  QTest::addColumn<std::string>("landing");  // the host that shows the landing page; empty: none
  QTest::addColumn<bool>("inPopup");         // in a pop-up, else in the main window
  QTest::addColumn<int>("button");           // the mouse button clicked; 0: Tab to it and Enter
  const QString service = QStringLiteral("http://" SERVICE_HOST);
  const QString vendor = QStringLiteral("http://" VENDOR_HOST);
  const QString link = QStringLiteral("<a href=\"%1\" %2>go</a>");
  QTest::newRow("link to another site")
      << link.arg("http://other.example/landing?from=app", "") << "http://other.example/landing?from=app\n"
      << std::string() << false << 1;
  QTest::newRow("target=_blank link to another site")
      << link.arg("http://other.example/landing", "target=\"_blank\"") << "http://other.example/landing\n"
      << std::string() << false << 1;
  QTest::newRow("middle click on a link to another site")
      << link.arg("http://other.example/landing", "") << "http://other.example/landing\n" << std::string() << false
      << 2;
  QTest::newRow("Enter on a focused link to another site")
      << link.arg("http://other.example/landing", "") << "http://other.example/landing\n" << std::string() << false
      << 0;
  QTest::newRow("link to a look-alike of the service's host")
      << link.arg("http://" SERVICE_HOST ".other.example/landing", "")
      << "http://" SERVICE_HOST ".other.example/landing\n" << std::string() << false << 1;
  QTest::newRow("mailto: link, to the desktop as ever")
      << link.arg("mailto:help@other.example", "") << "mailto:help@other.example\n" << std::string() << false << 1;
  QTest::newRow("link to the service's host") << link.arg(service + "/landing", "") << "" << std::string(SERVICE_HOST)
                                              << false << 1;
  QTest::newRow("link to a subdomain of the service's host")
      << link.arg("http://files." SERVICE_HOST "/landing", "") << "" << std::string("files." SERVICE_HOST) << false << 1;
  QTest::newRow("target=_blank link to the vendor's host")
      << link.arg(vendor + "/landing", "target=\"_blank\"") << "" << std::string(VENDOR_HOST) << true << 1;
  QTest::newRow("script pop-up to another site")
      << QStringLiteral("<button onclick=\"window.open('http://other.example/landing')\">go</button>") << ""
      << std::string("other.example") << true << 1;
  QTest::newRow("script pop-up with a size, from a link's click to that link")
      << QStringLiteral("<a href=\"http://other.example/landing\" "
                        "onclick=\"window.open(this.href, 'signin', 'width=500,height=400'); return false\">go</a>")
      << "" << std::string("other.example") << true << 1;
  QTest::newRow("script navigation to another site on a button's click")
      << QStringLiteral("<button onclick=\"location='http://other.example/landing'\">go</button>") << ""
      << std::string("other.example") << false << 1;
  QTest::newRow("server redirect from the service's host to another site")
      << link.arg(service + "/hop", "") << "" << std::string("other.example") << false << 1;
}

void BindingE2eTest::linksToOtherSitesOpenOnTheDesktop() {
  QFETCH(QString, element);
  QFETCH(QString, desktop);
  QFETCH(std::string, landing);
  QFETCH(bool, inPopup);
  QFETCH(int, button);
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w1", "0")});
  m_server->Route("/signin", Response{.headers = {{"Content-Type", "text/html"}},
                                      .body = "<html><head><title>" + kSignInTitle.toStdString() +
                                              "</title><style>body{margin:0}a,button{display:block;width:400px;"
                                              "height:300px}</style></head><body>" + element.toStdString() +
                                              "<script>addEventListener('load',()=>fetch('/loaded'));"
                                              "</script></body></html>"});
  m_server->Route("/landing", Response{.headers = {{"Content-Type", "text/html"}},
                                       .body = "<title>" + kLandingTitle.toStdString() + "</title>"});
  m_server->Route("/hop", Response{.status = 302, .headers = {{"Location", "http://other.example/landing"}}});
  QProcess process;
  const QString window = StartToSignIn(process);
  QVERIFY(!window.isEmpty());
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 1, 10000);
  const QStringList before = VisibleWindows();
  if (button == 0) {
    Xdotool({"windowraise", window});
    Xdotool({"windowfocus", "--sync", window});
    Xdotool({"key", "--delay", "200", "Tab", "Return"});
  } else {
    Click(window, 200, 150, button);
  }

  if (!desktop.isEmpty()) {
    QTRY_COMPARE_WITH_TIMEOUT(DesktopRecord(), desktop, 10000);
    QTest::qWait(1500);  // time for a page or a window to follow it, wrongly
    QVERIFY(Windows(kSignInTitle).contains(window));
    QCOMPARE(VisibleWindows(), before);
    QCOMPARE(CountRequests(*m_server, "/landing"), 0);
  } else {
    const QString shown = WaitForWindow(kLandingTitle, {}, 20000);
    QVERIFY2(!shown.isEmpty(), "the landing page should show");
    QCOMPARE(shown == window, !inPopup);
    std::string host;
    for (const Request& request : m_server->Requests())
      if (request.path == "/landing")
        host = request.host;
    QCOMPARE(host, landing);
    QCOMPARE(DesktopRecord(), QString());
  }
  QuitThroughQuestion(process, window);
}

// The engine's sandbox: on for an ordinary user, whose renderers then run
// under a seccomp filter; off for root, to whom Chromium refuses it.
void BindingE2eTest::engineSandbox_data() {
  QTest::addColumn<bool>("asRoot");
  QTest::newRow("ordinary user") << false;
  QTest::newRow("root") << true;
}

void BindingE2eTest::engineSandbox() {
  QFETCH(bool, asRoot);
  const bool root = geteuid() == 0;
  if (asRoot && !root)
    QSKIP("only root can run binding as root");
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w1", "0")});
  QProcess process;
  if (root && !asRoot) {
    // An unprivileged user with folders of its own; the program is theirs to run.
    QVERIFY(QFile::setPermissions(m_temp->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                      QFile::ReadOther | QFile::ExeOther));
    for (const char* folder : {"data", "home", "work", "tmp", "run"}) {
      QVERIFY(QDir().mkpath(Path(folder)));
      QCOMPARE(::chown(Path(folder).toLocal8Bit().constData(), kNobody, kNobody), 0);
    }
    QProcessEnvironment environment = Environment();
    environment.insert("TMPDIR", Path("tmp"));
    environment.remove("XAUTHORITY");
    environment.remove("DBUS_SESSION_BUS_ADDRESS");
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(Path("work"));
    process.start("setpriv", {"--reuid=" + QString::number(kNobody), "--regid=" + QString::number(kNobody),
                              "--clear-groups", Path("bin/binding")});
    QVERIFY(process.waitForStarted(10000));
  } else {
    Start(process);
  }
  const QString window = WaitForWindow(kSignInTitle, {}, 30000);
  QVERIFY2(!window.isEmpty(), process.readAllStandardError().constData());
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 1, 10000);
  const QList<int> renderers = RendererPids(int(process.processId()));
  QVERIFY(!renderers.isEmpty());
  for (int pid : renderers)
    QCOMPARE(SeccompMode(pid), asRoot ? 0 : 2);
  QuitThroughQuestion(process, window);
}

// Without a display the engine cannot start; without XDG_DATA_HOME and HOME
// there is no data folder. Each is said, and the program ends with a failure.
void BindingE2eTest::startupFailuresEndTheProgram() {
  {
    QProcess process;
    QProcessEnvironment environment = Environment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("QT_QPA_PLATFORM");
    process.setProcessEnvironment(environment);
    process.start(Path("bin/binding"), {});
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY(process.exitCode() != 0);
    QVERIFY(process.readAllStandardError().contains("binding: "));
  }
  QProcess process;
  QProcessEnvironment environment = Environment();
  environment.remove("XDG_DATA_HOME");
  environment.remove("HOME");
  process.setProcessEnvironment(environment);
  process.setWorkingDirectory(Path("work"));
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w1", "0")});
  process.start(Path("bin/binding"), {});
  QVERIFY(process.waitForStarted(10000));
  const QString message = WaitForWindow(kCaption);
  QVERIFY2(!message.isEmpty(), "the missing data folder should be said in a window");
  QVERIFY(AnswerQuestion(message, "Return"));
  QVERIFY(process.waitForFinished(15000));
  QVERIFY(process.exitCode() != 0);
  QVERIFY(process.readAllStandardError().contains("XDG_DATA_HOME"));
  QCOMPARE(QDir(Path("work")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
  QCOMPARE(m_server->RequestCount(), size_t(0));
}

// Logout, shutdown, Ctrl+C and a closed terminal end the program as Yes does,
// without a question: a second later the session cookie is on disk only if
// the engine shut down in order. The same signal again changes nothing; a
// question or a pop-up that holds its close does not hold the end.
void BindingE2eTest::signalEndsInOrder_data() {
  QTest::addColumn<int>("number");
  // "question": the exit question is open; "popup": a pop-up asks before it goes; "yes": sent from the question's Yes on
  QTest::addColumn<QString>("during");
  QTest::newRow("SIGTERM") << SIGTERM << "";
  QTest::newRow("SIGHUP") << SIGHUP << "";
  QTest::newRow("SIGINT") << SIGINT << "";
  QTest::newRow("SIGTERM, exit question open") << SIGTERM << "question";
  QTest::newRow("SIGTERM, pop-up asks before it goes") << SIGTERM << "popup";
  // From the Yes on: the home page's signal must not kill the ending program.
  QTest::newRow("SIGUSR1 after the exit question's Yes") << SIGUSR1 << "yes";
}

void BindingE2eTest::signalEndsInOrder() {
  QFETCH(int, number);
  QFETCH(QString, during);
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w1", "0")});
  // The engine asks the user before a page that was clicked in goes.
  m_server->Route("/", Response{.headers = {{"Content-Type", "text/html"}},
                                .body = "<html><head><title>" + kVendorTitle.toStdString() +
                                        "</title></head><body>Home<script>addEventListener('beforeunload',"
                                        "e=>{e.preventDefault();e.returnValue='';});</script></body></html>"});
  {
    QProcess process;
    const QString window = StartToSignIn(process);
    QVERIFY(!window.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 1, 10000);
    const pid_t pid = static_cast<pid_t>(process.processId());
    if (during == "question")
      QVERIFY(!AskToClose(window, Windows(kCaption)).isEmpty());
    if (during == "popup") {
      ::kill(pid, SIGUSR1);
      const QString popup = WaitForWindow(kVendorTitle);
      QVERIFY(!popup.isEmpty());
      Xdotool({"windowraise", popup});
      Xdotool({"mousemove", "--window", popup, "100", "100", "click", "1"});
    }
    QTest::qWait(1000);  // the cookie is not yet on disk
    if (during == "yes") {
      const QString question = AskToClose(window, Windows(kCaption));
      QVERIFY(!question.isEmpty());
      QVERIFY(AnswerQuestion(question, "Return"));
    }
    // Sent every 20 ms until the program has ended: the repeats change
    // nothing, in the loop or in the engine's shut-down. (An exited child stays
    // a zombie until QProcess reaps it in qWait: the pid is no one else's.)
    QElapsedTimer timer;
    timer.start();
    while (process.state() == QProcess::Running && timer.elapsed() < 10000) {
      ::kill(pid, number);
      QTest::qWait(20);
    }
    QVERIFY2(process.state() == QProcess::NotRunning, "the signal should end the program within seconds");
    qInfo("ended %lld ms after the signal", static_cast<long long>(timer.elapsed()));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
  }
  const size_t before = m_server->RequestCount();
  QProcess process;
  const QString window = StartToSignIn(process);
  QVERIFY(!window.isEmpty());
  QCOMPARE(SignInCookieSince(before), "session=" + m_cookie);
  QuitThroughQuestion(process, window);
}

// A second start on the data folder brings the running one's window forward
// and ends without touching the folder; another data folder runs alongside; a
// lock left by a killed binding does not hold the next start. Before that,
// SIGUSR1 sent while the first start has no window yet does not end it.
void BindingE2eTest::secondStartHandsOver() {
  // The answer waits: home-page requests made early must find no browser yet.
  m_server->Route("/pcupdate/update.xml",
                  Response{.body = Manifest("3.0.0.7", "w1", "0"), .pieces = {1}, .pauseMs = 2000});
  QProcess first;
  Start(first);
  const pid_t pid = static_cast<pid_t>(first.processId());
  // The lock shows the program past its first steps.
  QTRY_VERIFY_WITH_TIMEOUT(!QDir(Path("run")).entryList({"*.lock"}).isEmpty(), 10000);
  QElapsedTimer timer;
  timer.start();
  while (Windows(kCaption).isEmpty() && first.state() == QProcess::Running && timer.elapsed() < 20000) {
    ::kill(pid, SIGUSR1);
    QTest::qWait(10);
  }
  QCOMPARE(first.state(), QProcess::Running);
  const QString window = WaitForWindow(kSignInTitle, {}, 30000);
  QVERIFY(!window.isEmpty());
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 1, 10000);
  QCOMPARE(Windows(kVendorTitle), QStringList());

  // What a second start's check would change: a new web version, a file to purge.
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w2", "0")});
  PlantCacheFile();
  const QDateTime webVersionTime = QFileInfo(DataFolder() + "/webversion").lastModified();
  const QDateTime folderTime = QFileInfo(DataFolder()).lastModified();
  const int checks = CountRequests(*m_server, "/pcupdate/update.xml");
  MinimiseAsWindowManager(window);
  QTRY_VERIFY_WITH_TIMEOUT(!IsMapped(window), 5000);
  {
    QProcess second;
    Start(second);
    QElapsedTimer handOver;
    handOver.start();
    QVERIFY2(second.waitForFinished(15000), "a second start should end");
    qInfo("the second start ended after %lld ms", static_cast<long long>(handOver.elapsed()));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
  }
  QTRY_VERIFY2_WITH_TIMEOUT(IsMapped(window), "the running window should be shown again", 5000);
  QTRY_COMPARE_WITH_TIMEOUT(FocusedWindow(), window, 5000);
  QCOMPARE(Windows(kSignInTitle), QStringList{window});
  QCOMPARE(CountRequests(*m_server, "/pcupdate/update.xml"), checks);
  QCOMPARE(ReadWebVersion(), std::string("w1"));
  QCOMPARE(QFileInfo(DataFolder() + "/webversion").lastModified(), webVersionTime);
  QCOMPARE(QFileInfo(DataFolder()).lastModified(), folderTime);
  QVERIFY(CacheFilePlanted());

  {
    QProcess other;
    Start(other, Path("other-data"));
    const QString otherWindow = WaitForWindow(kSignInTitle, {window}, 30000);
    QVERIFY2(!otherWindow.isEmpty(), "another data folder should run alongside");
    ::kill(static_cast<pid_t>(other.processId()), SIGTERM);
    QVERIFY(other.waitForFinished(10000));
    QCOMPARE(other.exitCode(), 0);
  }

  ::kill(pid, SIGKILL);
  QVERIFY(first.waitForFinished(10000));
  QVERIFY2(!QDir(Path("run")).entryList({"*.lock"}).isEmpty(), "the killed holder leaves its lock behind");
  QProcess next;
  const QString again = StartToSignIn(next);
  QVERIFY2(!again.isEmpty(), "a start after its predecessor was killed should open normally");
  QuitThroughQuestion(next, again);
}

// What a screen reader finds after window.print(): the print dialog. The
// only case here with accessibility on, on a session bus of its own.
void BindingE2eTest::printDialogReadOverAtSpi() {
  const ScreenReaderBus bus;
  QVERIFY(bus.IsValid());

  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w1", "0")});
  m_server->Route("/signin", SignInPage("<body><script>addEventListener('load',()=>setTimeout(print,500));"
                                        "</script></body>"));
  QProcessEnvironment environment = Environment();
  environment.insert("DBUS_SESSION_BUS_ADDRESS", bus.Address());
  environment.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  QProcess process;
  process.setProcessEnvironment(environment);
  process.setWorkingDirectory(Path("work"));
  process.start(Path("bin/binding"), {});
  QVERIFY(process.waitForStarted(10000));
  const QString window = WaitForWindow(kSignInTitle, {}, 30000);
  QVERIFY(!window.isEmpty());
  QTRY_COMPARE_WITH_TIMEOUT(AccessibleDialogs(process.processId()), QStringList{"Print"}, 20000);
  const QString dialog = WaitForWindow("Print");
  QVERIFY(AnswerQuestion(dialog, "Escape"));
  QTRY_COMPARE_WITH_TIMEOUT(AccessibleDialogs(process.processId()), QStringList(), 10000);
  QuitThroughQuestion(process, window);
}

// The page's Print button: window.print() opens Qt's print dialog; a second
// call while it is open opens nothing more; Cancel prints nothing; OK to a
// file writes the page's text into a PDF.
void BindingE2eTest::printFromPage() {
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w1", "0")});
  m_server->Route("/signin", SignInPage("<body style='margin:0'>"
                                        "<button style='display:block;width:300px;height:200px' onclick='print();"
                                        "setTimeout(()=>{print();fetch(\"/second\")},1000)'>"
                                        "Invoice 4711 total 99.50</button><button style='display:block;width:300px;"
                                        "height:200px' onclick='const w=window.open(\"\");w.document.write("
                                        "\"<title>Receipt</title>Receipt 815\");w.document.close();"
                                        "w.print();w.close()'>receipt</button></body>"));
  m_server->Route("/second", Response{.body = "ok"});
  const QString printCaption = QStringLiteral("Print");
  QProcess process;
  const QString window = StartToSignIn(process);
  QVERIFY(!window.isEmpty());

  ClickIn(window, 100, 100);
  const QString dialog = WaitForWindow(printCaption, {}, 15000);
  QVERIFY2(!dialog.isEmpty(), "window.print() should open the print dialog");
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/second"), 1, 10000);
  QTest::qWait(1000);
  QCOMPARE(Windows(printCaption), QStringList{dialog});
  QVERIFY(AnswerQuestion(dialog, "Escape"));
  QTest::qWait(2000);
  QCOMPARE(PdfFiles(Path("home")) + PdfFiles(Path("work")), QStringList());

  ClickIn(window, 100, 100);
  const QString again = WaitForWindow(printCaption, {}, 15000);
  QVERIFY(!again.isEmpty());
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/second"), 2, 10000);
  QVERIFY(AnswerQuestion(again, "Return"));
  QTRY_COMPARE_WITH_TIMEOUT((PdfFiles(Path("home")) + PdfFiles(Path("work"))).size(), 1, 15000);
  const QString pdf = (PdfFiles(Path("home")) + PdfFiles(Path("work"))).first();
  QTRY_VERIFY_WITH_TIMEOUT(PdfText(pdf).contains("Invoice 4711 total 99.50"), 10000);
  QCOMPARE(Windows(printCaption), QStringList());

  // A print helper: a blank pop-up its opener writes, prints and closes at
  // once. Its print waits until the pop-up is ready, its close for the print.
  // Known fault, not yet mended: from Qt 6.5 on the helper's dialog sometimes
  // never opens (seen on 6.8 in about half the full runs).
  QFile::remove(pdf);
  if (QVersionNumber::fromString(QLatin1String(qVersion())) >= QVersionNumber(6, 5)) {
    QuitThroughQuestion(process, window);
    QSKIP("a print helper's dialog does not always open on Qt 6.5 and later");
  }
  ClickIn(window, 100, 300);
  const QString helperDialog = WaitForWindow(printCaption, {}, 15000);
  QVERIFY2(!helperDialog.isEmpty(), "the helper's print should open the dialog");
  QTest::qWait(1000);
  QVERIFY2(!Windows("Receipt").isEmpty(), "the helper should stay while its dialog is open");
  QVERIFY(AnswerQuestion(helperDialog, "Return"));
  QTRY_COMPARE_WITH_TIMEOUT((PdfFiles(Path("home")) + PdfFiles(Path("work"))).size(), 1, 15000);
  QTRY_VERIFY_WITH_TIMEOUT(PdfText((PdfFiles(Path("home")) + PdfFiles(Path("work"))).first()).contains("Receipt 815"),
                           10000);
  QTRY_COMPARE_WITH_TIMEOUT(Windows("Receipt"), QStringList(), 10000);
  QCOMPARE(process.state(), QProcess::Running);
  QuitThroughQuestion(process, window);
}

// The main page's element goes full screen and fills the main window, which
// asks for full screen; Escape leaves it and the window keeps its size. A
// pop-up's full screen is the pop-up's alone, and the exit question still
// ends the program while both are full screen.
void BindingE2eTest::fullScreen() {
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest("3.0.0.7", "w1", "0")});
  const std::string fullScreenScript =
      "<script>const v=document.getElementById('v');"
      "v.onclick=()=>v.requestFullscreen().then(()=>document.title='full '+(document.fullscreenElement===v)+' '+"
      "(v.clientWidth===innerWidth&&v.clientHeight===innerHeight));"
      "document.onfullscreenchange=()=>{if(!document.fullscreenElement)document.title='left'};</script>";
  m_server->Route("/signin", SignInPage("<body style='margin:0'>"
                                        "<div id='v' style='width:200px;height:200px;background:red'></div>"
                                        "<button style='width:200px;height:200px' onclick=\"window.open("
                                        "'/popup','','width=400,height=300')\">pop-up</button>" +
                                        fullScreenScript + "</body>"));
  m_server->Route("/popup", Response{.headers = {{"Content-Type", "text/html"}},
                                     .body = "<html><head><title>Pop-up</title></head><body style='margin:0'>"
                                             "<div id='v' style='width:200px;height:200px;background:blue'></div>" +
                                             fullScreenScript + "</body></html>"});
  WindowStateRequests requests("_NET_WM_STATE_FULLSCREEN");
  QProcess process;
  const QString window = StartToSignIn(process);
  QVERIFY(!window.isEmpty());
  const QString before = Geometry(window);
  QVERIFY(!before.isEmpty());

  ClickIn(window, 100, 100);
  QVERIFY2(!WaitForWindow("full true true", {}, 10000).isEmpty(),
           "the element should be the full-screen element and fill the window");
  QTRY_COMPARE_WITH_TIMEOUT(requests.Seen(), QStringList{"+" + window}, 5000);
  Xdotool({"windowfocus", "--sync", window});
  Xdotool({"key", "Escape"});
  QVERIFY2(!WaitForWindow("left", {}, 10000).isEmpty(), "Escape should leave full screen");
  QTRY_COMPARE_WITH_TIMEOUT(requests.Seen(), QStringList({"+" + window, "-" + window}), 5000);
  QCOMPARE(Geometry(window), before);

  ClickIn(window, 100, 300);
  const QString popup = WaitForWindow("Pop-up", {}, 15000);
  QVERIFY(!popup.isEmpty());
  QTest::qWait(500);
  ClickIn(popup, 100, 100);
  QVERIFY(!WaitForWindow("full true true", {}, 10000).isEmpty());
  QTRY_COMPARE_WITH_TIMEOUT(requests.Seen(), QStringList({"+" + window, "-" + window, "+" + popup}), 5000);
  QCOMPARE(Geometry(window), before);
  QCOMPARE(Windows("left"), QStringList{window});

  // Both full screen: the exit question still ends it all.
  ClickIn(window, 100, 100);
  QVERIFY(!WaitForWindow("full true true", {popup}, 10000).isEmpty());
  QuitThroughQuestion(process, window);
}

QTEST_GUILESS_MAIN(BindingE2eTest)
#include "binding_e2e_test.moc"
