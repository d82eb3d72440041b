#include <dirent.h>
#include <csignal>
#include <functional>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPrintDialog>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QVersionNumber>
#include <QWidget>
#include <QtTest>

#include "client/web_app.h"
#include "client/web_client.h"
#include "engine/browser_host.h"
#include "engine/engine.h"
#include "message_loop.h"
#include "testsupport/engine_processes.h"
#include "testsupport/loopback_server.h"

using vorla::engine::Browser;
using vorla::engine::RefPtr;
using vorla::testing::CountRequests;
using vorla::testing::LoopbackServer;
using vorla::testing::Request;
using vorla::testing::RendererPids;
using vorla::testing::Response;

namespace {

const char kService[] = "http://app.vorla.example";

QString ServiceUrl(const char* path) { return QString::fromLatin1(kService) + QLatin1String(path); }

Response Html(std::string body) {
  return Response{.headers = {{"Content-Type", "text/html; charset=utf-8"}}, .body = std::move(body)};
}

// The visible top-level window titled `title`, or null.
QWidget* TopLevel(const QString& title) {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget->isVisible() && widget->windowTitle() == title)
      return widget;
  return nullptr;
}

// Counts menus as they are shown.
class MenuCounter : public QObject {
 public:
  int shown = 0;
  QPointer<QMenu> last;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show)
      if (auto* menu = qobject_cast<QMenu*>(watched)) {
        ++shown;
        last = menu;
      }
    return false;
  }
};

// Processes still running `program` (an engine run and its sub-processes).
int ProcessesRunning(const QString& program) {
  int count = 0;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc ? readdir(proc) : nullptr) {
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry->d_name));
    QFile stat(QStringLiteral("/proc/%1/stat").arg(entry->d_name));
    if (exe != program || !stat.open(QIODevice::ReadOnly))
      continue;
    const QByteArray line = stat.readAll();
    if (line.mid(line.lastIndexOf(')') + 2, 1) != "Z")
      ++count;
  }
  if (proc)
    closedir(proc);
  return count;
}

// Pixels of `widget` as the X server shows them that are not near white.
int DarkPixels(QWidget* widget) {
  const QRect frame(widget->mapToGlobal(QPoint()), widget->size());
  const QImage image = QGuiApplication::primaryScreen()
                           ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
                           .toImage();
  int dark = 0;
  for (int y = 0; y < image.height(); y += 2)
    for (int x = 0; x < image.width(); x += 2)
      dark += qGray(image.pixel(x, y)) < 128;
  return dark;
}

// Clicks at `at` in `widget` as a user does, with the X server's own pointer.
void RealClick(QWidget* widget, QPoint at, int button) {
  const QPoint global = widget->mapToGlobal(at);
  QProcess xdotool;
  // Moved there from beside: a pointer already on the spot sends the page no motion.
  xdotool.start("xdotool", {"mousemove", "--sync", QString::number(global.x() + 7), QString::number(global.y() + 7),
                            "mousemove", "--sync", QString::number(global.x()), QString::number(global.y()), "click",
                            QString::number(button)});
  if (!xdotool.waitForFinished(10000))
    xdotool.kill();
  xdotool.waitForFinished(1000);
}

// Types `keys` (xdotool's names) into `widget`'s window with real key events.
void RealKeys(QWidget* widget, const QStringList& keys) {
  QProcess xdotool;
  xdotool.start("xdotool", QStringList{"windowfocus", "--sync", QString::number(widget->window()->winId()), "key",
                                       "--delay", "100"} + keys);
  if (!xdotool.waitForFinished(10000))
    xdotool.kill();
  xdotool.waitForFinished(1000);
}

}  // namespace

// CWebClient against the real engine: a main window with its child browser
// and the pop-ups its pages open, served by a loopback server under the
// service's host name through http_proxy.
class WebClientEngineTest : public QObject {
  Q_OBJECT

 public:
  WebClientEngineTest(LoopbackServer& server, const QTemporaryDir& temp) : m_server(server), m_temp(temp) {}

 private slots:
  void init();
  void cleanup();
  void popupGetsItsTitleAndIconAndClosesAlone();
  void popupTakesTheSizeItAsksFor();
  void blankPopupShowsWhatItsOpenerWrote_data();
  void blankPopupShowsWhatItsOpenerWrote();
  void printInANewPopupWaitsUntilItIsReady();
  void pageComesBackAfterItsRendererDied();
  void rendererDyingAtEveryLoadEndsInANotice();
  void permissionRequestsAreDeniedAtOnce();
  void copyAndPasteWorkInAPage();
  void loopEndsAfterTheLastPopupHasClosed();
  void popupOpenedWhileClosingClosesToo();
  void mainBrowserCloseAsksItsWindow();
  void contextMenuOnlyForEditingOrSelection();
  void droppedFileOpensNothing();
  void downloadsKeepPagesRunningAndGoWhereTheDialogSays();
  void signedInAcrossRuns_data();
  void signedInAcrossRuns();

 private:
  // Opens the main window with its browser on `path` and waits for the title.
  bool OpenMain(const char* path, const QString& title);
  QWidget* MainView() const;
  void RunScript(const QString& code);

  LoopbackServer& m_server;
  const QTemporaryDir& m_temp;
  QPointer<QWidget> m_mainWindow;
  RefPtr<CWebClient> m_client;
};

void WebClientEngineTest::init() {
  m_server.Route("/main.html", Html("<title>Main</title><body>main</body>"));
  m_server.Route("/popup.html", Html("<title>Popup</title><body>popup</body>"));
}

void WebClientEngineTest::cleanup() {
  // Whatever a test left open goes the way binding ends: the main window
  // first, and the loop then ends once every browser has closed.
  if (m_mainWindow) {
    m_mainWindow->deleteLater();
    QVERIFY(LoopEndedWithin(10000));
  }
  m_client = nullptr;
  for (QWidget* widget : QApplication::topLevelWidgets())
    QVERIFY2(!widget->isVisible(), qPrintable(widget->windowTitle()));
}

bool WebClientEngineTest::OpenMain(const char* path, const QString& title) {
  m_mainWindow = new QWidget;
  m_mainWindow->setGeometry(0, 0, 800, 600);
  m_mainWindow->setWindowTitle("Vorla");
  m_mainWindow->show();
  m_client = new CWebClient;
  if (!vorla::engine::CreateBrowser(m_mainWindow, QRect(0, 0, 800, 600), m_client, QUrl(ServiceUrl(path))))
    return false;
  return QTest::qWaitFor([&] { return m_mainWindow->windowTitle() == title; }, 20000);
}

QWidget* WebClientEngineTest::MainView() const {
  RefPtr<Browser> browser = m_client->GetBrowser();
  return browser ? browser->GetHost()->GetWindowHandle() : nullptr;
}

void WebClientEngineTest::RunScript(const QString& code) {
  m_client->GetBrowser()->GetMainFrame()->ExecuteJavaScript(code, "about:blank", 0);
}

void WebClientEngineTest::popupGetsItsTitleAndIconAndClosesAlone() {
  QVERIFY(OpenMain("/main.html", "Main"));
  QVERIFY(!m_mainWindow->windowIcon().isNull());
  QCOMPARE(MainView()->parentWidget(), m_mainWindow.data());

  RunScript(QStringLiteral("window.open('%1');").arg(ServiceUrl("/popup.html")));
  QTRY_VERIFY_WITH_TIMEOUT(TopLevel("Popup"), 20000);
  QPointer<QWidget> popup = TopLevel("Popup");
  QVERIFY(popup->isWindow());
  QVERIFY(!popup->windowIcon().isNull());
  QCOMPARE(m_mainWindow->windowTitle(), QString("Main"));

  popup->close();  // its close box
  QTRY_VERIFY_WITH_TIMEOUT(!popup, 10000);
  QVERIFY2(!LoopEndedWithin(500), "closing a pop-up must leave the program running");
  QVERIFY(m_client->GetBrowser());
}

void WebClientEngineTest::popupTakesTheSizeItAsksFor() {
  QVERIFY(OpenMain("/main.html", "Main"));
  RunScript(QStringLiteral("window.open('%1', '', 'left=50,top=60,width=400,height=300');").arg(ServiceUrl("/popup.html")));
  QTRY_VERIFY_WITH_TIMEOUT(TopLevel("Popup"), 20000);
  QTRY_COMPARE_WITH_TIMEOUT(TopLevel("Popup")->size(), QSize(400, 300), 5000);
}

// A document its opener writes into a pop-up that never navigated: Qt
// WebEngine 6.4 crashed at its first paint unless something had made the
// page's web preferences. Without accessibility, as on most desktops.
void WebClientEngineTest::blankPopupShowsWhatItsOpenerWrote_data() {
  const QString document = QStringLiteral(
      "<title>written</title><body style=\"margin:0\"><div style=\"font-size:80px;height:600px\" "
      "onclick=\"document.title = &quot;clicked &quot; + (opener ? opener.document.title : &quot;no opener&quot;)\">"
      "visible text</div></body>");
  QTest::addColumn<QString>("script");
  QTest::newRow("window.open('') written")
      << QStringLiteral("var w = window.open(''); w.document.write('%1'); w.document.close();").arg(document);
  QTest::newRow("window.open('about:blank') written")
      << QStringLiteral("var w = window.open('about:blank'); w.document.write('%1'); w.document.close();").arg(document);
  QTest::newRow("window.open('javascript:...')")
      << QStringLiteral("window.open('javascript:\\'%1\\'');").arg(document);
}

void WebClientEngineTest::blankPopupShowsWhatItsOpenerWrote() {
  QFETCH(QString, script);
  QVERIFY(OpenMain("/main.html", "Main"));
  QVERIFY(qEnvironmentVariableIsEmpty("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"));
  // A timer, as report and export helpers of web applications do: no click.
  RunScript(QStringLiteral("setTimeout(function () { %1 }, 10);").arg(script));
  QTRY_VERIFY_WITH_TIMEOUT(TopLevel("written"), 20000);
  QPointer<QWidget> popup = TopLevel("written");
  QVERIFY(!popup->windowIcon().isNull());
  QTRY_VERIFY2_WITH_TIMEOUT(DarkPixels(popup) > 500, "the written text should be painted", 10000);
  popup->raise();
  RealClick(popup, QPoint(100, 40), 1);
  QTRY_VERIFY2_WITH_TIMEOUT(TopLevel("clicked Main"), qPrintable(popup->windowTitle()), 10000);
  popup->close();
  QTRY_VERIFY_WITH_TIMEOUT(!popup, 10000);
}

// A print helper's window.print() comes while the new pop-up is still being
// made ready by the engine layer's own print; a dialog answered OK at once
// must still print, not fail against that print.
void WebClientEngineTest::printInANewPopupWaitsUntilItIsReady() {
  QVERIFY(OpenMain("/main.html", "Main"));
  // Print to file, where the dialog offers it: the page's title in the home folder.
  QVERIFY(QDir().mkpath(m_temp.filePath("home")));
  const QString file = m_temp.filePath("home/Receipt.pdf");
  int messages = 0;
  QPointer<QPrintDialog> dialog;
  class Watcher : public QObject {
   public:
    std::function<void(QObject*)> shown;
    bool eventFilter(QObject* watched, QEvent* event) override {
      if (event->type() == QEvent::Show)
        shown(watched);
      return false;
    }
  } watcher;
  watcher.shown = [&](QObject* watched) {
    if (qobject_cast<QMessageBox*>(watched))
      ++messages;
    auto* shown = qobject_cast<QPrintDialog*>(watched);
    if (!shown || dialog)
      return;
    dialog = shown;
    QMetaObject::invokeMethod(shown, &QDialog::accept, Qt::QueuedConnection);
  };
  qApp->installEventFilter(&watcher);
  RunScript(QStringLiteral("const w = window.open(''); w.document.write('<title>Receipt</title>Receipt 815');"
                           "w.document.close(); w.print();"));
  QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(file).size() > 0, 20000);
  QTest::qWait(500);
  qApp->removeEventFilter(&watcher);
  QCOMPARE(messages, 0);
  QFile pdf(file);
  QVERIFY(pdf.open(QIODevice::ReadOnly));
  QVERIFY(pdf.read(5) == "%PDF-");
}

// As the out-of-memory killer ends a renderer: the pages it showed come back.
void WebClientEngineTest::pageComesBackAfterItsRendererDied() {
  QVERIFY(OpenMain("/main.html", "Main"));
  RunScript(QStringLiteral("window.open('%1');").arg(ServiceUrl("/popup.html")));
  QTRY_VERIFY_WITH_TIMEOUT(TopLevel("Popup"), 20000);
  QPointer<QWidget> popup = TopLevel("Popup");
  const int mainLoads = CountRequests(m_server, "/main.html");
  const int popupLoads = CountRequests(m_server, "/popup.html");
  const QList<int> renderers = RendererPids(QCoreApplication::applicationPid());
  QVERIFY(!renderers.isEmpty());
  for (int pid : renderers)
    ::kill(pid, SIGKILL);
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(m_server, "/main.html"), mainLoads + 1, 20000);
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(m_server, "/popup.html"), popupLoads + 1, 20000);
  QVERIFY(popup);
  QTRY_VERIFY_WITH_TIMEOUT(!RendererPids(QCoreApplication::applicationPid()).isEmpty(), 10000);
  QCOMPARE(m_mainWindow->windowTitle(), QString("Main"));
}

// A page whose renderer dies at every load is reloaded a few times, then a
// notice says so and offers a reload by hand.
void WebClientEngineTest::rendererDyingAtEveryLoadEndsInANotice() {
  m_server.Route("/dies.html", Html("<title>Dies</title><body>dies</body>"));
  QVERIFY(OpenMain("/dies.html", "Dies"));
  for (int load = 1; load <= 4; ++load) {
    QTRY_COMPARE_WITH_TIMEOUT(CountRequests(m_server, "/dies.html"), load, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!RendererPids(QCoreApplication::applicationPid()).isEmpty(), 10000);
    QTest::qWait(200);  // loaded
    for (int pid : RendererPids(QCoreApplication::applicationPid()))
      ::kill(pid, SIGKILL);
  }
  auto reload = [&]() -> QPushButton* {
    // Beside the view, where a screen reader finds it.
    for (QPushButton* button : m_mainWindow->findChildren<QPushButton*>())
      if (button->isVisible() && button->text() == QString::fromUtf8("重新加载"))
        return button;
    return nullptr;
  };
  QTRY_VERIFY_WITH_TIMEOUT(reload(), 10000);
  QTest::qWait(1000);
  QCOMPARE(CountRequests(m_server, "/dies.html"), 4);
  reload()->click();
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(m_server, "/dies.html"), 5, 20000);
  QVERIFY(!reload());
}

// Nothing would ever answer them: both settle at once, denied. Served from
// 127.0.0.1, a secure context, where the engine asks the program.
void WebClientEngineTest::permissionRequestsAreDeniedAtOnce() {
  m_server.Route("/permissions.html",
                 Html("<title>asking</title><script>"
                      "var results = [], asked = Date.now();"
                      "function done(what) { results.push(what); if (results.length == 2) "
                      "  document.title = results.sort().join(' ') + (Date.now() - asked < 1000 ? ' in time' : ' late'); }"
                      "Notification.requestPermission().then(function (p) { done('notification:' + p); });"
                      "navigator.geolocation.getCurrentPosition(function () { done('geolocation:granted'); },"
                      "  function (e) { done('geolocation:' + e.code); });"
                      "</script>"));
  QVERIFY(OpenMain("/main.html", "Main"));
  RunScript(QStringLiteral("location = '%1';").arg(QString::fromStdString(m_server.Url("/permissions.html"))));
  QTRY_COMPARE_WITH_TIMEOUT(m_mainWindow->windowTitle(), QString("geolocation:1 notification:denied in time"), 20000);
}

// The user's copy and paste, and a page's own copy button, are no request
// that a denied permission stops.
void WebClientEngineTest::copyAndPasteWorkInAPage() {
  m_server.Route("/clipboard.html",
                 Html("<title>Clipboard</title><body style=\"margin:0\">"
                      "<input id=a value=\"typed text\" style=\"position:absolute;left:0;top:0;width:300px;height:40px\">"
                      "<input id=b style=\"position:absolute;left:0;top:60px;width:300px;height:40px\">"
                      "<button id=copy style=\"position:absolute;left:0;top:120px;width:300px;height:60px\" "
                      "onclick=\"a.select(); document.execCommand('copy'); b.value = ''; b.focus();\">copy</button>"
                      "<script>b.oninput = () => document.title = 'pasted ' + b.value;</script></body>"));
  QVERIFY(OpenMain("/clipboard.html", "Clipboard"));
  RealClick(MainView(), QPoint(150, 20), 1);
  RealKeys(MainView(), {"ctrl+a", "ctrl+c", "Tab", "ctrl+v"});
  QTRY_COMPARE_WITH_TIMEOUT(m_mainWindow->windowTitle(), QString("pasted typed text"), 10000);

  RunScript(QStringLiteral("a.value = 'button text';"));
  RealClick(MainView(), QPoint(150, 150), 1);
  RealKeys(MainView(), {"ctrl+v"});
  QTRY_COMPARE_WITH_TIMEOUT(m_mainWindow->windowTitle(), QString("pasted button text"), 10000);
}

void WebClientEngineTest::loopEndsAfterTheLastPopupHasClosed() {
  // With an unload handler a pop-up's close waits for its page, and so for a
  // renderer kept busy below.
  m_server.Route("/slow.html", Html("<title>Slow</title><script>"
                                    "addEventListener('beforeunload', function () {});</script>"));
  QVERIFY(OpenMain("/main.html", "Main"));
  RunScript(QStringLiteral("window.open('%1'); window.open('%2');")
                .arg(ServiceUrl("/slow.html"), ServiceUrl("/slow.html?2")));
  QTRY_VERIFY_WITH_TIMEOUT(TopLevel("Slow"), 20000);
  QPointer<QWidget> first = TopLevel("Slow");
  first->setWindowTitle("Slow 1");
  QTRY_VERIFY_WITH_TIMEOUT(TopLevel("Slow"), 20000);
  QPointer<QWidget> second = TopLevel("Slow");
  RefPtr<Browser> closed = m_client->GetBrowser();

  // The pages share one renderer: busy for a second, it answers the close late.
  RunScript("setTimeout(function () { var end = Date.now() + 1000; while (Date.now() < end) {} }, 0);");
  QTest::qWait(100);
  m_mainWindow->deleteLater();  // as binding's Yes to the exit question
  QVERIFY(LoopEndedWithin(15000));
  QVERIFY2(!first && !second, "the loop ended while a pop-up was still open");
  QVERIFY(!m_client->GetBrowser());

  // A browser held past its close does nothing when used.
  QVERIFY(!closed->GetHost()->GetWindowHandle());
  closed->GetHost()->CloseBrowser(false);
  closed->GetHost()->CloseBrowser(true);
  closed->GetMainFrame()->ExecuteJavaScript("window.open('/popup.html');", "about:blank", 0);
  QVERIFY(!LoopEndedWithin(300));
}

// A pop-up that its opener makes while the program is closing is closed too,
// once the engine has put its page in place; the loop then ends.
void WebClientEngineTest::popupOpenedWhileClosingClosesToo() {
  m_server.Route("/opener.html", Html("<title>Opener</title><script>"
                                      "addEventListener('beforeunload', function () {});"
                                      "setInterval(function () { window.open('/popup.html?late'); }, 5);"
                                      "</script>"));
  QVERIFY(OpenMain("/main.html", "Main"));
  RunScript(QStringLiteral("window.open('%1');").arg(ServiceUrl("/opener.html")));
  QTRY_VERIFY_WITH_TIMEOUT(TopLevel("Opener"), 20000);
  const int before = CountRequests(m_server, "/popup.html?late");
  QTRY_VERIFY_WITH_TIMEOUT(CountRequests(m_server, "/popup.html?late") > before + 3, 20000);
  m_mainWindow->deleteLater();  // as binding's Yes to the exit question
  QVERIFY2(LoopEndedWithin(20000), "a pop-up made while closing was left open");
  for (QWidget* widget : QApplication::topLevelWidgets())
    QVERIFY2(!widget->isVisible(), qPrintable(widget->windowTitle()));
}

void WebClientEngineTest::mainBrowserCloseAsksItsWindow() {
  QVERIFY(OpenMain("/main.html", "Main"));
  // The window answers No, as binding's exit question may.
  struct Refuse : QObject {
    int asked = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() != QEvent::Close)
        return false;
      ++asked;
      event->ignore();
      return true;
    }
  } refuse;
  m_mainWindow->installEventFilter(&refuse);
  m_client->GetBrowser()->GetHost()->CloseBrowser(false);
  QTRY_COMPARE_WITH_TIMEOUT(refuse.asked, 1, 10000);
  m_mainWindow->removeEventFilter(&refuse);
  QVERIFY(MainView());
  QVERIFY(!LoopEndedWithin(300));
}

void WebClientEngineTest::contextMenuOnlyForEditingOrSelection() {
  m_server.Route("/menu.html",
                 Html("<title>Menu</title><body style='margin:0;font-size:20px'>"
                      "<p style='position:absolute;left:10px;top:10px'>plain words</p>"
                      "<a style='position:absolute;left:10px;top:110px' href='/popup.html'>a link here</a>"
                      "<input style='position:absolute;left:10px;top:210px;width:300px;height:30px'>"
                      "<p id='s' style='position:absolute;left:10px;top:310px'>selected words</p>"
                      "<script>getSelection().selectAllChildren(document.getElementById('s'));"
                      "document.title = 'Menu ready';</script></body>"));
  QVERIFY(OpenMain("/menu.html", "Menu ready"));
  // Away from the screen's corner, where window and screen coordinates differ.
  m_mainWindow->move(120, 90);
  QTRY_COMPARE_WITH_TIMEOUT(MainView()->mapToGlobal(QPoint()), QPoint(120, 90), 5000);
  m_mainWindow->raise();
  MenuCounter menus;
  qApp->installEventFilter(&menus);
  auto rightClick = [&](QPoint at) { RealClick(MainView(), at, 3); };
  struct Spot {
    const char* name;
    QPoint at;
    bool shown;
  };
  // A menu is shown in order: a click that wrongly shows one would be counted
  // before the next click's menu.
  // Focus in the text field clears the selection: it comes last.
  for (const Spot& spot : {Spot{"plain text", {30, 30}, false}, Spot{"a link", {30, 125}, false},
                           Spot{"selected text", {40, 330}, true}, Spot{"plain text again", {30, 30}, false},
                           Spot{"a text field", {50, 225}, true}}) {
    const int before = menus.shown;
    if (spot.at.y() == 330) {  // a click elsewhere has cleared the selection
      RunScript("getSelection().selectAllChildren(document.getElementById('s')); document.title = 'selected';");
      QTRY_COMPARE_WITH_TIMEOUT(m_mainWindow->windowTitle(), QString("selected"), 10000);
    }
    rightClick(spot.at);
    if (spot.shown) {
      QTRY_VERIFY2_WITH_TIMEOUT(menus.shown == before + 1, spot.name, 10000);
      QVERIFY2(menus.last && !menus.last->actions().isEmpty(), spot.name);
      QCOMPARE(menus.last->pos(), MainView()->mapToGlobal(spot.at));  // at the pointer
      menus.last->close();
    } else {
      QTest::qWait(300);
      QVERIFY2(menus.shown == before, spot.name);
    }
  }
  qApp->removeEventFilter(&menus);
}

// The pages keep running while the save dialog is open; each download gets
// its dialog in turn and ends where it said, or nowhere after Cancel.
void WebClientEngineTest::downloadsKeepPagesRunningAndGoWhereTheDialogSays() {
  auto route = [&](const char* path, const char* name, size_t size) {
    std::string payload(size, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
      payload[i] = char(i * 7 + i / 1024 + size);
    m_server.Route(path, Response{.headers = {{"Content-Type", "application/octet-stream"},
                                              {"Content-Disposition", "attachment; filename=\"" + std::string(name) + "\""}},
                                  .body = payload});
    return QByteArray::fromStdString(payload);
  };
  const QByteArray report = route("/report.bin", "report.bin", 300 * 1024);
  const QByteArray other = route("/other.bin", "other.bin", 200 * 1024);
  m_server.Route("/tick", Response{.status = 204});
  m_server.Route("/ticking.html", Html("<title>Ticking</title><script>"
                                       "setInterval(function () { fetch('/tick'); }, 100);</script>"));
  QVERIFY(OpenMain("/ticking.html", "Ticking"));

  const QString documents = m_temp.filePath("home/Documents");
  const QString chosen = m_temp.filePath("chosen/saved.bin");
  QVERIFY(QDir().mkpath(m_temp.filePath("chosen")));
  QFile existing(chosen);  // replaced only once the user has agreed
  QVERIFY(existing.open(QIODevice::WriteOnly));
  existing.write("old");
  existing.close();
  auto dialogs = [] {
    QList<QFileDialog*> shown;
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible())
        shown.append(dialog);
    return shown;
  };

  // Pop-ups opened only to fetch the files, both at once.
  RunScript(QStringLiteral("window.open('%1'); window.open('%2');")
                .arg(ServiceUrl("/report.bin"), ServiceUrl("/other.bin")));
  QTRY_COMPARE_WITH_TIMEOUT(dialogs().size(), 1, 20000);
  const QString prefilled = dialogs().first()->selectedFiles().value(0);
  QVERIFY2(prefilled == documents + "/report.bin" || prefilled == documents + "/other.bin", qPrintable(prefilled));
  const int ticks = CountRequests(m_server, "/tick");
  QTest::qWait(5000);
  QVERIFY2(CountRequests(m_server, "/tick") >= ticks + 25, "the page's timer stalled while the dialog was open");
  QCOMPARE(dialogs().size(), 1);

  // A save dialog: its button says so, and an existing file is not replaced unasked.
  QFileDialog* first = dialogs().first();
  QCOMPARE(first->acceptMode(), QFileDialog::AcceptSave);
  QPushButton* save = first->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Save);
  QVERIFY(save);
  QCOMPARE(save->text().remove('&'), QString("Save"));
  QString replaceQuestion;
  QTimer answer;
  answer.setInterval(50);
  connect(&answer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      replaceQuestion = box->text();
      box->button(QMessageBox::Yes)->click();
      answer.stop();
    }
  });
  answer.start();

  // The first as typed by the user; the second, shown only then, cancelled.
  first->findChild<QLineEdit*>("fileNameEdit")->setText(chosen);
  QMetaObject::invokeMethod(first, "accept", Qt::QueuedConnection);
  QTRY_VERIFY_WITH_TIMEOUT(dialogs().size() == 1 && dialogs().first() != first, 10000);
  const QString secondPrefilled = dialogs().first()->selectedFiles().value(0);
  QVERIFY(secondPrefilled != prefilled);
  QMetaObject::invokeMethod(dialogs().first(), "reject", Qt::QueuedConnection);
  QTRY_VERIFY_WITH_TIMEOUT(dialogs().isEmpty(), 10000);
  QVERIFY2(replaceQuestion.contains("saved.bin"), qPrintable(replaceQuestion));

  const QByteArray expected = prefilled.endsWith("report.bin") ? report : other;
  QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(chosen).size(), qint64(expected.size()), 20000);
  QFile file(chosen);
  QVERIFY(file.open(QIODevice::ReadOnly));
  QVERIFY(file.readAll() == expected);
  QVERIFY(!QFile::exists(documents + "/report.bin") && !QFile::exists(documents + "/other.bin"));
  // Nothing of either is left in the private temporary place.
  QTRY_VERIFY_WITH_TIMEOUT(QDir(m_temp.filePath("tmp")).entryList({"vorla-download-*"}, QDir::Dirs).isEmpty(), 10000);
  // The pop-ups that started them were asked to close, and did.
  auto othersClosed = [&] {
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (widget != m_mainWindow && widget->isVisible())
        return false;
    return true;
  };
  QTRY_VERIFY_WITH_TIMEOUT(othersClosed(), 10000);
  QVERIFY(m_client->GetBrowser());
}

// A file dropped onto the main window: the engine would open it, in a window
// of its own; a drop area of the page still gets it. A drag from another
// program as Qt hands it to the view (a real one needs a drag source and a
// window manager).
void WebClientEngineTest::droppedFileOpensNothing() {
  m_server.Route("/drop.html", Html("<title>Drop</title><body style=\"margin:0\"><div id=area "
                                    "style=\"width:200px;height:200px\"></div><script>"
                                    "area.ondragover = (e) => e.preventDefault();"
                                    "area.ondrop = (e) => { e.preventDefault(); document.title = e.dataTransfer.files[0].name; };"
                                    "</script></body>"));
  QVERIFY(OpenMain("/drop.html", "Drop"));
  QFile file(m_temp.filePath("dropped.html"));
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write("<title>Dropped</title>dropped");
  file.close();
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(file.fileName())});
  // As a real drag delivers them: each from the event loop in its turn, the
  // button released at the drop. Qt 6.8's engine drops what comes faster.
  auto dropAt = [&](QPoint at) {
    const Qt::DropActions actions = Qt::CopyAction | Qt::LinkAction;
    QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(MainView(), &enter);
    QTest::qWait(300);
    QDragMoveEvent move(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(MainView(), &move);
    QTest::qWait(300);
    QDropEvent drop(at, actions, &data, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(MainView(), &drop);
  };
  dropAt(QPoint(100, 100));
  QTRY_COMPARE_WITH_TIMEOUT(m_mainWindow->windowTitle(), QString("dropped.html"), 10000);
  dropAt(QPoint(400, 400));
  QTest::qWait(3000);  // a dropped file shows within a second
  QVERIFY(!TopLevel("Dropped"));
  QCOMPARE(m_mainWindow->windowTitle(), QString("dropped.html"));
}

void WebClientEngineTest::signedInAcrossRuns_data() {
  QTest::addColumn<int>("quitAfterMs");
  QTest::newRow("quit a moment after signing in") << 1000;
  QTest::newRow("quit at once") << 0;
}

// Two runs of the engine in processes of their own on the same folders: the
// first signs in (a session cookie, no expiry), the second sends it back.
void WebClientEngineTest::signedInAcrossRuns() {
  QFETCH(int, quitAfterMs);
  // Known fault, not yet mended: from Qt 6.5 on the engine may drop a cookie
  // set in the very instant the program quits (seen on 6.8). A quit a moment
  // later keeps it, and so does every quit on 6.4.
  if (quitAfterMs == 0 && QVersionNumber::fromString(QLatin1String(qVersion())) >= QVersionNumber(6, 5))
    QSKIP("a cookie set as the program quits may be lost on Qt 6.5 and later");
  const QTemporaryDir folders;
  const QString cache = folders.filePath("cache/");
  const QString cookies = folders.filePath("cookies/");
  m_server.Route("/signin", Response{.headers = {{"Content-Type", "text/html"}, {"Set-Cookie", "session=s3cr3t; Path=/"}},
                                     .body = "<title>Signed in</title>"});
  m_server.Route("/home", Html("<title>Home</title>"));
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  auto run = [&](const char* path, int afterMs) {
    QProcess probe;
    probe.setProcessEnvironment(environment);
    probe.start(ENGINE_PROBE, {cache, cookies, ServiceUrl(path), QString::number(afterMs)});
    const bool finished = probe.waitForFinished(30000);
    if (!finished) {
      probe.kill();
      probe.waitForFinished(5000);
    }
    const QByteArray output = probe.readAllStandardOutput();
    return finished && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0 ? output : QByteArray();
  };
  QCOMPARE(run("/signin", quitAfterMs), QByteArray("title=Signed in\n"));
  QTRY_COMPARE_WITH_TIMEOUT(ProcessesRunning(ENGINE_PROBE), 0, 10000);  // none left behind
  // The cache is emptied between the runs, as a new web version does.
  QVERIFY(QDir(cache).removeRecursively());
  QCOMPARE(run("/home", 0), QByteArray("title=Home\n"));
  QTRY_COMPARE_WITH_TIMEOUT(ProcessesRunning(ENGINE_PROBE), 0, 10000);
  std::string sent;
  for (const Request& request : m_server.Requests())
    if (request.path == "/home")
      sent = request.Header("Cookie");
  QCOMPARE(QString::fromStdString(sent), QString("session=s3cr3t"));
}

int main(int argc, char** argv) {
  // The engine starts this program again for its sub-processes.
  const int processResult = vorla::engine::ExecuteProcess(argc, argv, new CWebApp);
  if (processResult >= 0)
    return processResult;

  // Without accessibility, as on most desktops: the engine's paths differ with it.
  qunsetenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
  QTemporaryDir temp;
  LoopbackServer server;
  QDir().mkpath(temp.filePath("tmp"));
  qputenv("TMPDIR", temp.filePath("tmp").toUtf8());
  qputenv("http_proxy", server.BaseUrl().c_str());
  qunsetenv("no_proxy");
  qputenv("HOME", temp.filePath("home").toUtf8());
  qputenv("XDG_CONFIG_HOME", temp.filePath("config").toUtf8());
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");

  vorla::engine::Settings settings;
  settings.noSandbox = true;
  settings.cachePath = temp.filePath("data/cache/");
  if (!vorla::engine::Initialize(argc, argv, settings, new CWebApp))
    return 3;
  vorla::engine::SetCookieStoragePath(temp.filePath("data/cookies/"), true);
  int result = 0;
  {
    WebClientEngineTest test(server, temp);
    result = QTest::qExec(&test, argc, argv);
  }
  vorla::engine::Shutdown();
  return result;
}

#include "web_client_engine_test.moc"
