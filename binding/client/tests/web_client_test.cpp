#include <QMenu>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

#include "client/web_client.h"
#include "engine/browser_host.h"
#include "engine/engine.h"
#include "message_loop.h"

using vorla::engine::BeforeDownloadCallback;
using vorla::engine::Browser;
using vorla::engine::BrowserHost;
using vorla::engine::ContextMenuParams;
using vorla::engine::DownloadItem;
using vorla::engine::Frame;
using vorla::engine::MenuModel;
using vorla::engine::RefPtr;

namespace {

// A browser of the fake engine: a plain window, and a count of the requests
// to close it.
class FakeBrowser : public Browser {
 public:
  FakeBrowser(int identifier, bool popup, QWidget* window) : m_identifier(identifier), m_popup(popup), m_window(window) {}

  RefPtr<BrowserHost> GetHost() override { return new Host(this); }
  int GetIdentifier() const override { return m_identifier; }
  bool IsPopup() const override { return m_popup; }
  bool HasDocument() const override { return false; }
  bool IsSame(const RefPtr<Browser>& that) const override { return that.get() == this; }
  RefPtr<Frame> GetMainFrame() override { return nullptr; }

  int closeRequests = 0;

 private:
  class Host : public BrowserHost {
   public:
    explicit Host(FakeBrowser* browser) : m_browser(browser) {}
    RefPtr<Browser> GetBrowser() override { return m_browser; }
    QWidget* GetWindowHandle() override { return m_browser->m_window; }
    void CloseBrowser(bool force) override {
      QVERIFY(!force);
      ++m_browser->closeRequests;
    }

   private:
    RefPtr<FakeBrowser> m_browser;
  };

  int m_identifier;
  bool m_popup;
  QPointer<QWidget> m_window;
};

class RecordingCallback : public BeforeDownloadCallback {
 public:
  void Continue(const QString& path, bool showDialog) override {
    paths << path;
    dialogs << showDialog;
  }
  QStringList paths;
  QList<bool> dialogs;
};

}  // namespace

class WebClientTest : public QObject {
  Q_OBJECT

 private slots:
  void loopEndsAfterTheLastBrowser_data();
  void loopEndsAfterTheLastBrowser();
  void titlesGoToTheWindowShowingThePage();
  void contextMenuOnlyForEditingOrSelection_data();
  void contextMenuOnlyForEditingOrSelection();
  void downloadsAskWhereInDocuments_data();
  void downloadsAskWhereInDocuments();
};

// Each step: "+M" main browser created, "+P1" pop-up created, "-P1" closed;
// "=E" the loop must have ended by now, "=R" it must still run; "#P1 n" the
// requests to close P1 so far; "?M"/"?-" the main browser recorded, or none.
void WebClientTest::loopEndsAfterTheLastBrowser_data() {
  QTest::addColumn<QStringList>("steps");
  QTest::newRow("main browser alone") << QStringList{"+M", "?M", "=R", "-M", "?-", "=E"};
  QTest::newRow("a pop-up closed by its close box") << QStringList{"+M", "+P1", "-P1", "=R", "?M", "-M", "=E"};
  QTest::newRow("two pop-ups open when the main browser closes")
      << QStringList{"+M", "+P1", "+P2", "#P1 0", "-M", "?-", "#P1 1", "#P2 1", "=R", "-P1", "=R", "-P2", "=E"};
  QTest::newRow("closing in the other order") << QStringList{"+M", "+P1", "+P2", "-M", "-P2", "=R", "-P1", "=E"};
  QTest::newRow("a pop-up created while closing")
      << QStringList{"+M", "+P1", "-M", "+P2", "#P2 1", "?-", "-P1", "=R", "-P2", "=E"};
  QTest::newRow("an unknown pop-up closing") << QStringList{"+M", "-P9", "=R", "?M", "-M", "=E"};
}

void WebClientTest::loopEndsAfterTheLastBrowser() {
  QFETCH(QStringList, steps);
  RefPtr<CWebClient> client(new CWebClient);
  QWidget mainWindow;
  std::map<QString, RefPtr<FakeBrowser>> browsers;
  std::vector<std::unique_ptr<QWidget>> windows;
  int nextIdentifier = 1;
  auto browser = [&](const QString& name) {
    RefPtr<FakeBrowser>& entry = browsers[name];
    if (!entry) {
      const bool popup = name != "M";
      windows.push_back(std::make_unique<QWidget>(popup ? nullptr : &mainWindow));
      entry = new FakeBrowser(nextIdentifier++, popup, windows.back().get());
    }
    return entry;
  };
  for (const QString& step : steps) {
    const QString name = step.mid(1).section(' ', 0, 0);
    switch (step.at(0).toLatin1()) {
      case '+': client->OnAfterCreated(browser(name)); break;
      case '-': client->OnBeforeClose(browser(name)); break;
      case '=': QVERIFY2(LoopEndedWithin(0) == (name == "E"), qPrintable(step)); break;
      case '#': QVERIFY2(browser(name)->closeRequests == step.section(' ', 1).toInt(), qPrintable(step)); break;
      case '?':
        QVERIFY2(name == "-" ? !client->GetBrowser() : client->GetBrowser() == RefPtr<Browser>(browser(name)),
                 qPrintable(step));
        break;
    }
  }
}

void WebClientTest::titlesGoToTheWindowShowingThePage() {
  RefPtr<CWebClient> client(new CWebClient);
  QWidget mainWindow;
  mainWindow.setWindowTitle("Vorla");
  auto* mainView = new QWidget(&mainWindow);
  QWidget popupWindow;
  RefPtr<FakeBrowser> main(new FakeBrowser(1, false, mainView));
  RefPtr<FakeBrowser> popup(new FakeBrowser(2, true, &popupWindow));
  client->OnAfterCreated(main);
  client->OnAfterCreated(popup);

  client->OnTitleChange(main, "Sign in");
  QCOMPARE(mainWindow.windowTitle(), QString("Sign in"));
  QVERIFY(!mainWindow.windowIcon().isNull());
  QCOMPARE(popupWindow.windowTitle(), QString());

  client->OnTitleChange(popup, "Home");
  QCOMPARE(popupWindow.windowTitle(), QString("Home"));
  QVERIFY(!popupWindow.windowIcon().isNull());
  QCOMPARE(mainWindow.windowTitle(), QString("Sign in"));

  // With the main browser gone, a pop-up still titles its own window.
  client->OnBeforeClose(main);
  client->OnTitleChange(popup, "Later");
  QCOMPARE(popupWindow.windowTitle(), QString("Later"));
  QCOMPARE(mainWindow.windowTitle(), QString("Sign in"));
  client->OnBeforeClose(popup);
  QVERIFY(LoopEndedWithin(0));
}

void WebClientTest::contextMenuOnlyForEditingOrSelection_data() {
  QTest::addColumn<int>("flags");
  QTest::addColumn<bool>("shown");
  QTest::newRow("plain page") << int(ContextMenuParams::kTypePage) << false;
  QTest::newRow("a link") << int(ContextMenuParams::kTypePage | ContextMenuParams::kTypeLink) << false;
  QTest::newRow("an image") << int(ContextMenuParams::kTypePage | ContextMenuParams::kTypeMedia) << false;
  QTest::newRow("a frame") << int(ContextMenuParams::kTypeFrame) << false;
  QTest::newRow("selected text") << int(ContextMenuParams::kTypePage | ContextMenuParams::kTypeSelection) << true;
  QTest::newRow("a text field") << int(ContextMenuParams::kTypeEditable) << true;
  QTest::newRow("a selected link") << int(ContextMenuParams::kTypeLink | ContextMenuParams::kTypeSelection) << true;
}

void WebClientTest::contextMenuOnlyForEditingOrSelection() {
  QFETCH(int, flags);
  QFETCH(bool, shown);
  RefPtr<CWebClient> client(new CWebClient);
  QMenu menu;
  menu.addAction("Copy");
  menu.addAction("Paste");
  MenuModel model(&menu);
  client->OnBeforeContextMenu(nullptr, nullptr, ContextMenuParams(flags), model);
  QCOMPARE(model.GetCount(), shown ? 2 : 0);
}

void WebClientTest::downloadsAskWhereInDocuments_data() {
  QTest::addColumn<QString>("suggested");
  QTest::addColumn<QString>("expected");  // relative to the Documents folder
  QTest::newRow("a name") << "report.xlsx" << "/report.xlsx";
  QTest::newRow("no name") << "" << "/";
  QTest::newRow("blanks and letters kept") << " 报告 (1).txt" << "/ 报告 (1).txt";
  QTest::newRow("a parent folder") << "../escape.sh" << "/escape.sh";
  QTest::newRow("a path") << "/etc/passwd" << "/passwd";
  QTest::newRow("two dots") << ".." << "/";
  QTest::newRow("one dot") << "." << "/";
}

void WebClientTest::downloadsAskWhereInDocuments() {
  QFETCH(QString, suggested);
  QFETCH(QString, expected);
  QTemporaryDir temp;
  QVERIFY(temp.isValid());
  const QString documents = temp.filePath("home/Papers");
  QVERIFY(QDir().mkpath(temp.filePath("config")));
  QFile dirs(temp.filePath("config/user-dirs.dirs"));
  QVERIFY(dirs.open(QIODevice::WriteOnly));
  dirs.write("XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
  dirs.close();
  qputenv("HOME", temp.filePath("home").toUtf8());
  qputenv("XDG_CONFIG_HOME", temp.filePath("config").toUtf8());

  RefPtr<CWebClient> client(new CWebClient);
  QWidget window;
  RefPtr<FakeBrowser> popup(new FakeBrowser(7, true, &window));
  RefPtr<RecordingCallback> callback(new RecordingCallback);
  client->OnBeforeDownload(popup, DownloadItem{}, suggested, callback);
  QCOMPARE(callback->paths, QStringList{documents + expected});
  QCOMPARE(callback->dialogs, QList<bool>{true});
  QVERIFY(QFileInfo(documents).isDir());  // created when missing
  QCOMPARE(popup->closeRequests, 1);

  // A home in which no Documents folder can be made: an empty path, the
  // dialog all the same, and the browser still asked to close.
  QFile blocker(temp.filePath("file"));
  QVERIFY(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  qputenv("HOME", temp.filePath("file").toUtf8());
  qputenv("XDG_CONFIG_HOME", temp.filePath("nothing").toUtf8());
  client->OnBeforeDownload(popup, DownloadItem{}, suggested, callback);
  QCOMPARE(callback->paths.value(1), QString());
  QCOMPARE(callback->dialogs.value(1), true);
  QCOMPARE(popup->closeRequests, 2);
}

QTEST_MAIN(WebClientTest)
#include "web_client_test.moc"
