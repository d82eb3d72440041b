// The keys and bars of binding's browser windows on the real program under
// Xvfb: zoom kept across runs, reload and history, spelling suggestions in a
// text field, and the find bar read as a screen reader reads it. One program
// runs the cases of each start; the service's pages are answered by a
// loopback server as http_proxy and report what they see by fetching marker
// paths.

#include <csignal>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <atspi/atspi.h>

#include "testsupport/engine_processes.h"
#include "testsupport/loopback_server.h"
#include "testsupport/screen_reader_bus.h"
#include "testsupport/xdotool.h"

using vorla::testing::AnswerQuestion;
using vorla::testing::Click;
using vorla::testing::CountRequests;
using vorla::testing::LoopbackServer;
using vorla::testing::RendererPids;
using vorla::testing::Request;
using vorla::testing::Response;
using vorla::testing::ScreenReaderBus;
using vorla::testing::SendCloseRequest;
using vorla::testing::WaitForWindow;
using vorla::testing::Windows;
using vorla::testing::Xdotool;

namespace {

const QString kSignInTitle = QStringLiteral("Vorla Sign-in");
const QString kSecondTitle = QStringLiteral("Second");
const QString kVendorTitle = QStringLiteral("Vorla Vendor Home");
const QString kCaption = QStringLiteral("Vorla");
const QString kFindField = QStringLiteral("在页面中查找");
const QString kNothingFound = QStringLiteral("无匹配结果");

// Every page reports its devicePixelRatio (which the page zoom scales) and
// how far it is scrolled whenever they change, each key that reaches it, and
// its load; a text field reports its value.
// A page loaded from the history takes its requests from the cache where it
// can: the reports never come from there.
const std::string kReporter =
    "<script>const report=p=>fetch(p,{cache:'no-store'});let dpr=0,far=-1,value=null;setInterval(()=>{"
    "if(devicePixelRatio!=dpr){dpr=devicePixelRatio;report('/dpr?'+Math.round(dpr*100))}"
    "const f=scrollY>2000?1:0;if(f!=far){far=f;report('/scroll?'+(f?'far':'near'))}"
    "const t=document.getElementById('text');if(t&&t.value!=value){value=t.value;report('/value?'+value)}},100);"
    "addEventListener('keydown',e=>['Control','Shift','Alt','Meta'].includes(e.key)||report('/key?'+encodeURIComponent(e.key)));"
    "addEventListener('load',()=>report('/ready?'+location.pathname.substring(1)));</script>";

Response Page(const QString& title, const std::string& body) {
  // Never from the cache: every load, back and forward included, is a request.
  return Response{.headers = {{"Content-Type", "text/html; charset=utf-8"}, {"Cache-Control", "no-store"}},
                  .body = "<html><head><title>" + title.toStdString() + "</title></head><body style='margin:0'>" +
                          body + kReporter + "</body></html>"};
}

// The sign-in page: a text field with a misspelled word at the top left, a
// link to the second page below it, and a word far down the page, 7 times.
Response SignInPage() {
  std::string body =
      "<textarea id=text spellcheck=true style='position:absolute;left:10px;top:10px;width:400px;height:80px;"
      "font-size:40px'>recieve</textarea>"
      "<a href='/second' style='position:absolute;left:10px;top:120px;width:300px;height:60px;display:block;"
      "font-size:40px'>next</a>"
      "<div style='height:3000px'></div>";
  for (int i = 0; i < 7; ++i)
    body += "<p>haystack needle haystack</p><div style='height:300px'></div>";
  return Page(kSignInTitle, body);
}

std::string Manifest() { return "<update><version>3.0.0.7</version><webversion>w1</webversion><updatetype>0</updatetype></update>"; }

// The marker paths under `prefix` the pages fetched, in order ("/dpr?" gives "110", "125", …).
QStringList Reports(const LoopbackServer& server, const std::string& prefix, size_t since = 0) {
  QStringList reports;
  const std::vector<Request> requests = server.Requests();
  for (size_t i = since; i < requests.size(); ++i)
    if (requests[i].path.rfind(prefix, 0) == 0)
      reports << QString::fromStdString(requests[i].path.substr(prefix.size()));
  return reports;
}

QString LastReport(const LoopbackServer& server, const std::string& prefix, size_t since = 0) {
  const QStringList reports = Reports(server, prefix, since);
  return reports.isEmpty() ? QString() : reports.last();
}

// Types `keys` into `window` as a user at the keyboard does.
void Key(const QString& window, const QStringList& keys) {
  Xdotool({"windowfocus", "--sync", window});
  Xdotool(QStringList{"key", "--clearmodifiers"} + keys);
}

// Turns the wheel over `window` with Ctrl held: `button` 4 is a notch up, 5 down.
void CtrlWheel(const QString& window, const QString& button) {
  Xdotool({"windowfocus", "--sync", window});
  Xdotool({"mousemove", "--window", window, "--sync", "300", "300"});
  Xdotool({"keydown", "ctrl", "click", button, "keyup", "ctrl"});
}

QStringList VisibleWindows() {
  return Xdotool({"search", "--onlyvisible", "--name", ""}).split('\n', Qt::SkipEmptyParts);
}

// The accessible named `name` in the program `pid`, as a screen reader finds
// it; null when there is none. The caller unrefs it. The page's own tree is
// not searched.
AtspiAccessible* FindAccessible(AtspiAccessible* node, const QString& name, int depth) {
  gchar* own = atspi_accessible_get_name(node, nullptr);
  const bool found = own && QString::fromUtf8(own) == name;
  g_free(own);
  if (found)
    return static_cast<AtspiAccessible*>(g_object_ref(node));
  if (depth == 0 || atspi_accessible_get_role(node, nullptr) == ATSPI_ROLE_DOCUMENT_WEB)
    return nullptr;
  const int children = atspi_accessible_get_child_count(node, nullptr);
  for (int i = 0; i < children; ++i) {
    AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr);
    if (!child)
      continue;
    AtspiAccessible* match = FindAccessible(child, name, depth - 1);
    g_object_unref(child);
    if (match)
      return match;
  }
  return nullptr;
}

// What a screen reader tells of the find field: its description (the match
// count) while it shows; "hidden" when it does not, "absent" when it is not there.
QString FindFieldReads(qint64 pid) {
  QString reads = QStringLiteral("absent");
  bool found = false;
  AtspiAccessible* desktop = atspi_get_desktop(0);
  const int applications = atspi_accessible_get_child_count(desktop, nullptr);
  for (int i = 0; i < applications && !found; ++i) {
    AtspiAccessible* application = atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (!application)
      continue;
    if (atspi_accessible_get_process_id(application, nullptr) == pid) {
      if (AtspiAccessible* field = FindAccessible(application, kFindField, 12)) {
        found = true;
        AtspiStateSet* states = atspi_accessible_get_state_set(field);
        if (!atspi_state_set_contains(states, ATSPI_STATE_SHOWING)) {
          reads = QStringLiteral("hidden");
        } else {
          gchar* description = atspi_accessible_get_description(field, nullptr);
          reads = QString::fromUtf8(description ? description : "");
          g_free(description);
        }
        g_object_unref(states);
        g_object_unref(field);
      }
    }
    g_object_unref(application);
  }
  g_object_unref(desktop);
  return reads;
}

}  // namespace

class WindowKeysE2eTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void zoomReloadHistoryAndSpelling();
  void zoomKeptAndFindBar();
  void cleanupTestCase();

 private:
  QString Path(const QString& relative) const { return m_temp.filePath(relative); }
  QString SettingsFile() const { return Path("data/vorla/settings.ini"); }
  QString ReadSettings() const;
  void Start(QProcess& process, const QProcessEnvironment& environment);
  // Waits until `path` has been loaded `count` times in all.
  bool WaitForLoads(const std::string& path, int count);
  void Quit(QProcess& process, const QString& window);
  QProcessEnvironment Environment() const;

  QTemporaryDir m_temp;
  std::unique_ptr<LoopbackServer> m_server;
};

void WindowKeysE2eTest::initTestCase() {
  QVERIFY(m_temp.isValid());
  // The program and its dictionaries, laid out as installed.
  QVERIFY(QDir().mkpath(Path("bin")));
  QVERIFY(QFile::copy(BINDING_PROGRAM, Path("bin/binding")));
  QVERIFY(QDir().mkpath(Path("share/vorla")));
  QVERIFY(QFile::link(DICTIONARY_FOLDER, Path("share/vorla/qtwebengine_dictionaries")));
  QVERIFY(QDir().mkpath(Path("home")));
  QVERIFY(QDir().mkpath(Path("run")));
  QVERIFY(QFile::setPermissions(Path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  m_server = std::make_unique<LoopbackServer>();
  m_server->Route("/pcupdate/update.xml", Response{.body = Manifest()});
  m_server->Route("/signin", SignInPage());
  m_server->Route("/second", Page(kSecondTitle, "<p style='font-size:40px'>second</p>"));
  m_server->Route("/", Page(kVendorTitle, "<p>home</p>"));
  m_server->SetFallback(
      [](const Request&) { return Response{.status = 204, .headers = {{"Cache-Control", "no-store"}}}; });
}

void WindowKeysE2eTest::cleanupTestCase() { m_server.reset(); }

QProcessEnvironment WindowKeysE2eTest::Environment() const {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("http_proxy", QString::fromStdString(m_server->BaseUrl()));
  environment.remove("no_proxy");
  environment.insert("XDG_DATA_HOME", Path("data"));
  environment.insert("HOME", Path("home"));
  environment.insert("XDG_RUNTIME_DIR", Path("run"));
  environment.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
  environment.remove("QTWEBENGINE_DICTIONARIES_PATH");
  // Chinese has no spelling dictionary: the fields are checked in English.
  environment.insert("LANG", "zh_CN.UTF-8");
  environment.remove("LC_ALL");
  environment.remove("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
  return environment;
}

QString WindowKeysE2eTest::ReadSettings() const {
  QFile file(SettingsFile());
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void WindowKeysE2eTest::Start(QProcess& process, const QProcessEnvironment& environment) {
  process.setProcessEnvironment(environment);
  process.setWorkingDirectory(Path("home"));
  process.start(Path("bin/binding"), {});
  QVERIFY(process.waitForStarted(10000));
}

bool WindowKeysE2eTest::WaitForLoads(const std::string& path, int count) {
  // The page has loaded when it says so, not when it is requested.
  QElapsedTimer timer;
  timer.start();
  while (CountRequests(*m_server, "/ready?" + path) < count && timer.elapsed() < 10000)
    QTest::qWait(50);
  const int loads = CountRequests(*m_server, "/ready?" + path);
  const int requests = CountRequests(*m_server, "/" + path);
  if (loads != count || requests != count)
    qWarning("/%s: %d loads, %d requests, %d expected", path.c_str(), loads, requests, count);
  return loads == count && requests == count;
}

void WindowKeysE2eTest::Quit(QProcess& process, const QString& window) {
  SendCloseRequest(window);
  const QString question = WaitForWindow(kCaption, {}, 10000);
  QVERIFY2(!question.isEmpty(), "the close request should ask the exit question");
  QVERIFY(AnswerQuestion(question, "Return"));
  QVERIFY2(process.waitForFinished(15000), "Yes should end the program");
  QCOMPARE(process.exitCode(), 0);
}

// A damaged settings file is ignored; the zoom keys and Ctrl+wheel step
// through the zoom levels and the level is written; F5, Ctrl+R and the history
// keys and buttons load pages, also after the renderer was replaced, none of
// the keys reaching the page; a
// misspelled word in a text field gets the engine's suggestions in its menu.
void WindowKeysE2eTest::zoomReloadHistoryAndSpelling() {
  QVERIFY(QDir().mkpath(Path("data/vorla")));
  static const char kDamaged[] = "\xff\xfe[view\x00\npageZoom=\x01\x02\n[view]\npageZoom=abc\n";
  QFile damaged(SettingsFile());
  QVERIFY(damaged.open(QIODevice::WriteOnly));
  damaged.write(kDamaged, sizeof kDamaged - 1);
  damaged.close();

  QProcess process;
  Start(process, Environment());
  const QString window = WaitForWindow(kSignInTitle, {}, 30000);
  QVERIFY2(!window.isEmpty(), "a damaged settings file should not keep the program from starting");
  QVERIFY(WaitForLoads("signin", 1));
  QTRY_COMPARE_WITH_TIMEOUT(LastReport(*m_server, "/dpr?"), QString("100"), 10000);

  // Chromium's steps: 100 → 110 → 125 → 110, and the wheel the same way.
  const QList<QPair<QStringList, QString>> zooms = {
      {{"ctrl+equal"}, "110"}, {{"ctrl+plus"}, "125"}, {{"ctrl+minus"}, "110"}, {{"ctrl+KP_Add"}, "125"}};
  for (const auto& [keys, level] : zooms) {
    Key(window, keys);
    QTRY_COMPARE_WITH_TIMEOUT(LastReport(*m_server, "/dpr?"), level, 10000);
  }
  CtrlWheel(window, "5");
  QTRY_COMPARE_WITH_TIMEOUT(LastReport(*m_server, "/dpr?"), QString("110"), 10000);
  CtrlWheel(window, "4");
  QTRY_COMPARE_WITH_TIMEOUT(LastReport(*m_server, "/dpr?"), QString("125"), 10000);
  QVERIFY2(ReadSettings().contains("pageZoom=1.25"), qPrintable(ReadSettings()));

  // Reload, then bypassing the cache (the request then says no-cache).
  int signIns = 1;
  for (const QString key : {"F5", "ctrl+r", "shift+F5", "ctrl+shift+r"}) {
    Key(window, {key});
    QVERIFY2(WaitForLoads("signin", ++signIns), qPrintable(key));
    const bool bypass = key.contains("shift");
    std::string cacheControl;
    for (const Request& request : m_server->Requests())
      if (request.path == "/signin")
        cacheControl = request.Header("Cache-Control");
    QVERIFY2((cacheControl == "no-cache") == bypass, qPrintable(key + ": " + QString::fromStdString(cacheControl)));
  }

  // No history yet: nothing happens.
  Key(window, {"alt+Left", "alt+Right"});
  QTest::qWait(1500);
  QCOMPARE(CountRequests(*m_server, "/signin"), signIns);
  int seconds = 0;
  Click(window, 100, 180);
  QVERIFY(WaitForLoads("second", ++seconds));
  Key(window, {"alt+Left"});
  QVERIFY(WaitForLoads("signin", ++signIns));
  Key(window, {"alt+Right"});
  QVERIFY(WaitForLoads("second", ++seconds));
  // The mouse's back and forward buttons.
  Click(window, 300, 300, 8);
  QVERIFY(WaitForLoads("signin", ++signIns));
  Click(window, 300, 300, 9);
  QVERIFY(WaitForLoads("second", ++seconds));
  Key(window, {"alt+Right"});
  QTest::qWait(1500);
  QCOMPARE(CountRequests(*m_server, "/second"), seconds);
  Key(window, {"alt+Left"});
  QVERIFY(WaitForLoads("signin", ++signIns));
  // A renderer that dies is replaced with a new widget for the page: the
  // keys still reach the window without a click.
  for (int pid : RendererPids(int(process.processId())))
    ::kill(pid, SIGKILL);
  QVERIFY(WaitForLoads("signin", ++signIns));
  Key(window, {"F5"});
  QVERIFY(WaitForLoads("signin", ++signIns));
  QCOMPARE(Reports(*m_server, "/key?"), QStringList());

  // Spelling: the right click's menu offers "receive" first; Down and Enter take it.
  QTRY_COMPARE_WITH_TIMEOUT(LastReport(*m_server, "/value?"), QString("recieve"), 10000);
  Click(window, 60, 50);
  QTest::qWait(1500);  // the engine checks a focused field when it is idle
  const QStringList before = VisibleWindows();
  Click(window, 60, 50, 3);
  QTRY_VERIFY_WITH_TIMEOUT(VisibleWindows().size() > before.size(), 10000);
  Xdotool({"key", "Down", "Return"});
  QTRY_COMPARE_WITH_TIMEOUT(LastReport(*m_server, "/value?"), QString("receive"), 10000);

  Quit(process, window);
}

// The next start opens at the kept level from its first paint; the find bar
// reaches a word far down the page with its count, read over AT-SPI (the one
// case here with accessibility on, on a session bus of its own); a pop-up
// zooms every window; Ctrl+0 goes back to 100 % and is kept.
void WindowKeysE2eTest::zoomKeptAndFindBar() {
  const ScreenReaderBus bus;
  QVERIFY(bus.IsValid());

  const size_t since = m_server->RequestCount();
  QProcessEnvironment environment = Environment();
  environment.insert("DBUS_SESSION_BUS_ADDRESS", bus.Address());
  environment.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  QProcess process;
  Start(process, environment);
  const QString window = WaitForWindow(kSignInTitle, {}, 30000);
  QVERIFY(!window.isEmpty());
  QTRY_VERIFY_WITH_TIMEOUT(!Reports(*m_server, "/dpr?", since).isEmpty(), 10000);
  QCOMPARE(Reports(*m_server, "/dpr?", since).first(), QString("125"));

  Key(window, {"ctrl+f"});
  QTRY_COMPARE_WITH_TIMEOUT(FindFieldReads(process.processId()), QString(), 10000);
  Xdotool({"type", "--delay", "50", "needle"});
  QTRY_COMPARE_WITH_TIMEOUT(FindFieldReads(process.processId()), QString("1/7"), 10000);
  QTRY_COMPARE_WITH_TIMEOUT(LastReport(*m_server, "/scroll?", since), QString("far"), 10000);
  const QList<QPair<QString, QString>> steps = {
      {"Return", "2/7"}, {"Return", "3/7"}, {"shift+Return", "2/7"}, {"F3", "3/7"}, {"shift+F3", "2/7"}};
  for (const auto& [key, count] : steps) {
    Xdotool({"key", key});
    QTRY_COMPARE_WITH_TIMEOUT(FindFieldReads(process.processId()), count, 10000);
  }
  Xdotool({"type", "x"});
  QTRY_COMPARE_WITH_TIMEOUT(FindFieldReads(process.processId()), kNothingFound, 10000);
  Xdotool({"key", "Escape"});
  QTRY_VERIFY_WITH_TIMEOUT(QStringList({"hidden", "absent"}).contains(FindFieldReads(process.processId())), 10000);

  // A pop-up (the vendor's home page, asked for by a signal) opens at the same
  // level and has the same keys; every window follows.
  const size_t beforePopup = m_server->RequestCount();
  ::kill(pid_t(process.processId()), SIGUSR1);
  const QString popup = WaitForWindow(kVendorTitle, {}, 20000);
  QVERIFY(!popup.isEmpty());
  QTRY_COMPARE_WITH_TIMEOUT(Reports(*m_server, "/dpr?", beforePopup), QStringList{"125"}, 10000);
  const size_t beforeZoom = m_server->RequestCount();
  Key(popup, {"ctrl+minus"});
  QTRY_COMPARE_WITH_TIMEOUT(Reports(*m_server, "/dpr?", beforeZoom), QStringList({"110", "110"}), 10000);

  Key(window, {"ctrl+0"});
  QTRY_COMPARE_WITH_TIMEOUT(LastReport(*m_server, "/dpr?"), QString("100"), 10000);
  QVERIFY2(ReadSettings().contains("pageZoom=1\n"), qPrintable(ReadSettings()));
  QCOMPARE(Reports(*m_server, "/key?", since), QStringList());
  Quit(process, window);
}

QTEST_MAIN(WindowKeysE2eTest)
#include "window_keys_e2e_test.moc"
