#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <memory>
#include <thread>

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QtTest>
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host_window.h"
#include "manifest/curl_handles.h"
#include "panel_environment.h"
#include "updatecheck/upgrade_dlg.h"

using vorla::testing::Response;
Q_DECLARE_METATYPE(Response)
Q_DECLARE_METATYPE(QMessageBox::StandardButton)
Q_DECLARE_METATYPE(QMessageBox::Icon)

namespace {

const QString kWaiting = QStringLiteral("正在打开，请稍后...");
const QString kNetworkFailed = QStringLiteral("网络连接失败，请稍后再试。");
const QString kAskUpgrade = QStringLiteral("软件已经有一个新版本，是否现在升级？");
const QString kMustUpgrade = QStringLiteral("软件已经有一个新版本，必须升级后才可以继续使用。");
const QString kUpdaterStarted = QStringLiteral("1\n-vorla\n");
const QByteArray kNoFile;  // a null array: no web version file

Response Manifest(const std::string& elements) {
  return Response{.body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<update>" + elements + "</update>\n"};
}

QLabel* Tip(QWidget* host) { return host->findChild<QLabel*>(QStringLiteral("tip")); }
QLabel* Picture(QWidget* host) { return host->findChild<QLabel*>(QStringLiteral("picture")); }

// Answers the first message box that opens, from inside its event loop, and
// records what it looked like. `inside` runs first, while the box is up; the
// box is not answered if that destroyed it. Polls until it is destroyed.
class BoxAnswerer : public QObject {
 public:
  explicit BoxAnswerer(QMessageBox::StandardButton answer, std::function<void()> inside = {})
      : m_answer(answer), m_inside(std::move(inside)) {
    connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
    m_timer.start(50);
  }

  bool seen = false;
  QString title, text;
  QMessageBox::StandardButtons buttons;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QWidget* owner = nullptr;

 private:
  void Poll() {
    QPointer<QMessageBox> box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box)
      return;
    m_timer.stop();
    seen = true;
    title = box->windowTitle();
    text = box->text();
    buttons = box->standardButtons();
    icon = box->icon();
    owner = box->parentWidget();
    if (m_inside)
      m_inside();
    if (box && box->button(m_answer))
      box->button(m_answer)->click();
  }

  QMessageBox::StandardButton m_answer;
  std::function<void()> m_inside;
  QTimer m_timer;
};

}  // namespace

class UpgradePanelTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();
  void decisionTable_data();
  void decisionTable();
  void missingUpdaterStillDestroysTheHost();
  void failedFetchShowsFailure_data();
  void failedFetchShowsFailure();
  void webVersion_data();
  void webVersion();
  void changedWebVersionPurgesBeforeTheQuestion();
  void cacheThatCannotBeMovedIsEmptiedInPlace();
  void noDataFolderTouchesNothing();
  void webVersionFileThatIsNoFile_data();
  void webVersionFileThatIsNoFile();
  void readableOnADarkTheme();
  void withoutAWorkerThreadThePanelKeepsWaiting();
  void checkDoneIsPostedToAHostThatDeletesThePanel();
  void enterAndEscapeDoNothing();
  void destructionWaitsForTheWorker_data();
  void destructionWaitsForTheWorker();
  void hostDestroyedWhileAsking_data();
  void hostDestroyedWhileAsking();

 private:
  QPointer<HostWindow> Open();
  // Waits for the check's outcome: check-done, the host gone, or a new text.
  bool WaitForOutcome(const QPointer<HostWindow>& host);

  std::unique_ptr<PanelEnvironment> m_env;
  QPointer<HostWindow> m_host;
  QPointer<QDialog> m_dialog;
  int m_checkDone = 0;
};

void UpgradePanelTest::initTestCase() {
  QVERIFY(vorla::InitializeCurl());
  // The updater is taken from the program's own folder: this one stands in and
  // records how it was started. The test's own folder keeps it off the real one.
  const QString fake = QCoreApplication::applicationDirPath() + QStringLiteral("/upgrade");
  QFile script(fake);
  QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
  script.write("#!/bin/sh\n"
               "{ echo \"$#\"; for a in \"$@\"; do echo \"$a\"; done; } > \"$VORLA_UPGRADE_RECORD.part\"\n"
               "mv \"$VORLA_UPGRADE_RECORD.part\" \"$VORLA_UPGRADE_RECORD\"\n");
  script.close();
  QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
}

void UpgradePanelTest::init() {
  m_env = std::make_unique<PanelEnvironment>();
  QVERIFY(m_env->IsValid());
  m_checkDone = 0;
}

void UpgradePanelTest::cleanup() {
  m_env->StopServer();  // a stalled worker fails at once, so the host's destruction is quick
  delete m_host.data();
  delete m_dialog.data();
  m_env.reset();
}

QPointer<HostWindow> UpgradePanelTest::Open() {
  m_host = new HostWindow(m_checkDone);
  m_host->show();
  return m_host;
}

bool UpgradePanelTest::WaitForOutcome(const QPointer<HostWindow>& host) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 15000) {
    if (m_checkDone > 0 || !host || Tip(host)->text() != kWaiting)
      return true;
    QTest::qWait(20);
  }
  return false;
}

void UpgradePanelTest::decisionTable_data() {
  QTest::addColumn<Response>("manifest");
  QTest::addColumn<QString>("boxText");  // empty: no box may appear
  QTest::addColumn<QMessageBox::StandardButtons>("boxButtons");
  QTest::addColumn<QMessageBox::Icon>("boxIcon");
  QTest::addColumn<QMessageBox::StandardButton>("answer");
  QTest::addColumn<bool>("updates");  // else: check-done

  const auto none = QMessageBox::StandardButtons();
  const auto noIcon = QMessageBox::NoIcon;
  const auto noAnswer = QMessageBox::NoButton;
  QTest::newRow("same version") << Manifest("<version>3.0.0.7</version><updatetype>1</updatetype>") << QString()
                                << none << noIcon << noAnswer << false;
  QTest::newRow("older version") << Manifest("<version>3.0.0.6</version><updatetype>2</updatetype>") << QString()
                                 << none << noIcon << noAnswer << false;
  QTest::newRow("no version element") << Manifest("<updatetype>1</updatetype>") << QString() << none << noIcon
                                      << noAnswer << false;
  QTest::newRow("204 without body") << Response{.status = 204} << QString() << none << noIcon << noAnswer << false;
  QTest::newRow("optional, No") << Manifest("<version>3.0.0.8</version><updatetype>0</updatetype>") << kAskUpgrade
                                << (QMessageBox::Yes | QMessageBox::No) << QMessageBox::Information
                                << QMessageBox::No << false;
  QTest::newRow("optional, Yes") << Manifest("<version>3.0.0.8</version><updatetype>0</updatetype>") << kAskUpgrade
                                 << (QMessageBox::Yes | QMessageBox::No) << QMessageBox::Information
                                 << QMessageBox::Yes << true;
  QTest::newRow("mandatory") << Manifest("<version>3.0.0.10</version><updatetype>1</updatetype>") << kMustUpgrade
                             << QMessageBox::StandardButtons(QMessageBox::Ok) << noIcon << QMessageBox::Ok << true;
  QTest::newRow("type 2") << Manifest("<version>3.0.1</version><updatetype>2</updatetype>") << QString() << none
                          << noIcon << noAnswer << true;
  QTest::newRow("type empty") << Manifest("<version>3.0.0.8</version><updatetype></updatetype>") << QString()
                              << none << noIcon << noAnswer << true;
  QTest::newRow("type missing") << Manifest("<version>4</version>") << QString() << none << noIcon << noAnswer
                                << true;
  QTest::newRow("type with a blank") << Manifest("<version>3.0.0.8</version><updatetype> 0</updatetype>")
                                     << QString() << none << noIcon << noAnswer << true;
}

void UpgradePanelTest::decisionTable() {
  QFETCH(Response, manifest);
  QFETCH(QString, boxText);
  QFETCH(QMessageBox::StandardButtons, boxButtons);
  QFETCH(QMessageBox::Icon, boxIcon);
  QFETCH(QMessageBox::StandardButton, answer);
  QFETCH(bool, updates);
  m_env->ServeManifest(manifest);

  BoxAnswerer box(answer == QMessageBox::NoButton ? QMessageBox::Ok : answer);
  auto host = Open();
  QWidget* panel = host->Panel();
  QVERIFY(WaitForOutcome(host));
  QTest::qWait(300);  // room for a second check-done or a late box

  QCOMPARE(box.seen, !boxText.isEmpty());
  if (box.seen) {
    QCOMPARE(box.title, QStringLiteral("Vorla"));
    QCOMPARE(box.text, boxText);
    QCOMPARE(box.buttons, boxButtons);
    QCOMPARE(box.icon, boxIcon);
    QCOMPARE(box.owner, panel);
  }
  if (updates) {
    QVERIFY(host.isNull());
    QTRY_COMPARE_WITH_TIMEOUT(m_env->UpdaterRecord(), kUpdaterStarted, 5000);
    QCOMPARE(m_checkDone, 0);
  } else {
    QVERIFY(!host.isNull());
    QCOMPARE(m_checkDone, 1);
    QCOMPARE(Tip(host)->text(), kWaiting);
    QCOMPARE(m_env->UpdaterRecord(), QString());
  }
}

void UpgradePanelTest::missingUpdaterStillDestroysTheHost() {
  const QString fake = QCoreApplication::applicationDirPath() + QStringLiteral("/upgrade");
  const QString aside = fake + QStringLiteral(".aside");
  QFile::remove(aside);
  QVERIFY(QFile::rename(fake, aside));
  m_env->ServeManifest(Manifest("<version>3.0.0.8</version>"));
  auto host = Open();
  const bool gone = WaitForOutcome(host) && host.isNull();
  QVERIFY(QFile::rename(aside, fake));
  QVERIFY(gone);
  QCOMPARE(m_checkDone, 0);
}

void UpgradePanelTest::failedFetchShowsFailure_data() {
  QTest::addColumn<Response>("manifest");
  QTest::addColumn<bool>("nobodyListens");
  // Every body would ask for an update and a purge if it were read.
  const std::string everything =
      "<version>3.0.0.8</version><updatetype>2</updatetype><webversion>new</webversion>";
  Response notFound = Manifest(everything);
  notFound.status = 404;
  Response serverError = Manifest(everything);
  serverError.status = 500;
  Response moved = Manifest(everything);
  moved.status = 301;
  moved.headers = {{"Location", "http://www.vorla.example/pcupdate/update.xml"}};
  QTest::newRow("404") << notFound << false;
  QTest::newRow("500") << serverError << false;
  QTest::newRow("301, not followed") << moved << false;
  QTest::newRow("dropped") << Response{.dropBeforeResponse = true} << false;
  QTest::newRow("nobody listens") << Manifest(everything) << true;
}

void UpgradePanelTest::failedFetchShowsFailure() {
  QFETCH(Response, manifest);
  QFETCH(bool, nobodyListens);
  m_env->ServeManifest(manifest);
  if (nobodyListens)
    m_env->StopServer();  // its port now refuses connections
  QVERIFY(m_env->MakeCache());

  auto host = Open();
  QVERIFY(WaitForOutcome(host));
  QTest::qWait(300);
  QVERIFY(!host.isNull());
  QCOMPARE(Tip(host)->text(), kNetworkFailed);
  QLabel* picture = Picture(host);
  QCOMPARE(picture->pixmap().size(), QSize(104, 137));
  QCOMPARE(picture->size(), QSize(104, 137));
  QCOMPARE(picture->accessibleName(), kNetworkFailed);
  QCOMPARE(m_checkDone, 0);
  QCOMPARE(m_env->UpdaterRecord(), QString());
  QVERIFY(!QFile::exists(m_env->WebVersionFile()));
  QCOMPARE(m_env->CacheEntries(), PanelEnvironment::FullCache());

  // The new picture is centred at once, and again after every resize, 30
  // pixels above the full-width text.
  auto centred = [&] {
    const QRect p = picture->geometry();
    const QRect t = Tip(host)->geometry();
    // 800 x 600 with the 104 x 137 picture: y = (600 - 20 - th - 137) / 2.
    const int h = host->height();
    return qAbs(p.left() - (host->width() - p.right() - 1)) <= 1 && t.left() == 0 && t.width() == host->width() &&
           p.top() == (h - 20 - t.height() - p.height()) / 2 &&
           t.top() == (h - t.height() - p.height()) / 2 + p.height() + 20 && t.top() - p.bottom() - 1 == 30;
  };
  QVERIFY(centred());
  host->resize(700, 500);
  QTRY_COMPARE(host->Panel()->size(), QSize(700, 500));
  QVERIFY(centred());
}

void UpgradePanelTest::webVersion_data() {
  QTest::addColumn<bool>("dataFolder");
  QTest::addColumn<QByteArray>("stored");  // kNoFile: none
  QTest::addColumn<std::string>("element");
  QTest::addColumn<QByteArray>("expected");
  QTest::addColumn<bool>("rewritten");
  QTest::addColumn<bool>("purged");

  const QByteArray longer(150, 'w');
  QTest::newRow("first start, no data folder")
      << false << kNoFile << std::string("<webversion>2024.1</webversion>") << QByteArray("2024.1") << true
      << false;
  QTest::newRow("first seen") << true << kNoFile << std::string("<webversion>2024.1</webversion>")
                              << QByteArray("2024.1") << true << true;
  QTest::newRow("unchanged") << true << QByteArray("2024.1") << std::string("<webversion>2024.1</webversion>")
                             << QByteArray("2024.1") << false << false;
  QTest::newRow("changed") << true << QByteArray("2024.1") << std::string("<webversion>2024.2</webversion>")
                           << QByteArray("2024.2") << true << true;
  QTest::newRow("read back up to a NUL")
      << true << QByteArray("2024.1\0old", 10) << std::string("<webversion>2024.1</webversion>")
      << QByteArray("2024.1\0old", 10) << false << false;
  const QByteArray hundred(100, 'h');
  QTest::newRow("exactly 100 bytes, unchanged")
      << true << hundred << "<webversion>" + hundred.toStdString() + "</webversion>" << hundred << false << false;
  QTest::newRow("longer than 100 bytes, stored before")
      << true << longer << "<webversion>" + longer.toStdString() + "</webversion>" << longer << true << true;
  QTest::newRow("blanks kept") << true << QByteArray("2024.1") << std::string("<webversion> 2024.1\n</webversion>")
                               << QByteArray(" 2024.1\n") << true << true;
  QTest::newRow("empty, no file") << true << kNoFile << std::string("<webversion></webversion>") << kNoFile << false
                                  << false;
  QTest::newRow("no element") << true << QByteArray("2024.1") << std::string("<webversion>2024.2")
                              << QByteArray("2024.1") << false << false;
}

void UpgradePanelTest::webVersion() {
  QFETCH(bool, dataFolder);
  QFETCH(QByteArray, stored);
  QFETCH(std::string, element);
  QFETCH(QByteArray, expected);
  QFETCH(bool, rewritten);
  QFETCH(bool, purged);
  if (dataFolder)
    QVERIFY(m_env->MakeCache());
  const QDateTime old = QDateTime::currentDateTime().addYears(-1);
  if (!stored.isNull()) {
    QFile file(m_env->WebVersionFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(stored), stored.size());
    file.close();
    QVERIFY(file.open(QIODevice::Append));
    QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
  }
  m_env->ServeManifest(Manifest("<version>3.0.0.7</version>" + element));

  auto host = Open();
  QVERIFY(WaitForOutcome(host));
  QCOMPARE(m_checkDone, 1);

  QFile file(m_env->WebVersionFile());
  QCOMPARE(file.exists(), !expected.isNull());
  if (!expected.isNull()) {
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
    QCOMPARE(file.fileTime(QFileDevice::FileModificationTime) != old, rewritten);
  }
  if (dataFolder) {
    QCOMPARE(m_env->CacheEntries(), purged ? QStringList() : PanelEnvironment::FullCache());
    // What an earlier start left goes at every start, purge or not.
    QTRY_COMPARE_WITH_TIMEOUT(m_env->MovedAside(), QStringList(), 10000);
  }
  struct stat info {};
  QCOMPARE(stat(QFile::encodeName(m_env->DataFolder()).constData(), &info), 0);
  if (!dataFolder)  // created here, private to the user
    QCOMPARE(info.st_mode & 0777, 0700u);
  if (dataFolder)
    QVERIFY(m_env->OutsideIntact());
}

void UpgradePanelTest::changedWebVersionPurgesBeforeTheQuestion() {
  QVERIFY(m_env->MakeCache());
  m_env->ServeManifest(Manifest("<webversion>new</webversion><version>3.0.0.8</version><updatetype>0</updatetype>"));
  QStringList cacheDuringQuestion;
  QString storedDuringQuestion;
  BoxAnswerer box(QMessageBox::No, [&] {
    cacheDuringQuestion = m_env->CacheEntries();
    QFile file(m_env->WebVersionFile());
    if (file.open(QIODevice::ReadOnly))
      storedDuringQuestion = QString::fromUtf8(file.readAll());
  });
  auto host = Open();
  QVERIFY(WaitForOutcome(host));
  QVERIFY(box.seen);
  QCOMPARE(cacheDuringQuestion, QStringList());
  QCOMPARE(storedDuringQuestion, QStringLiteral("new"));
  QCOMPARE(m_checkDone, 1);
  QVERIFY(m_env->OutsideIntact());
}

// A data folder whose entries may not change: the cache cannot be moved
// aside, so its files are deleted in place, folders kept, rather than left to
// the engine.
void UpgradePanelTest::cacheThatCannotBeMovedIsEmptiedInPlace() {
  QVERIFY(m_env->MakeCache());
  const QByteArray folder = QFile::encodeName(m_env->DataFolder());
  const int fd = open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  QVERIFY(fd >= 0);
  // Root may write anywhere: for root the folder is made immutable instead.
  int flags = 0;
  const bool root = geteuid() == 0;
  const bool locked = root ? ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                                 ioctl(fd, FS_IOC_SETFLAGS, &(flags |= FS_IMMUTABLE_FL)) == 0
                           : fchmod(fd, 0500) == 0;
  const auto unlock = qScopeGuard([&] {
    flags &= ~FS_IMMUTABLE_FL;
    root ? ioctl(fd, FS_IOC_SETFLAGS, &flags) : fchmod(fd, 0700);
    close(fd);
  });
  if (!locked)
    QSKIP("this file system cannot lock a folder");
  m_env->ServeManifest(Manifest("<webversion>2024.1</webversion><version>3.0.0.7</version>"));

  auto host = Open();
  QVERIFY(WaitForOutcome(host));
  QCOMPARE(m_checkDone, 1);
  QCOMPARE(m_env->CacheEntries(), PanelEnvironment::EmptiedInPlace());
  QVERIFY(m_env->OutsideIntact());
}

void UpgradePanelTest::noDataFolderTouchesNothing() {
  // Neither XDG_DATA_HOME nor HOME: no data folder, and nothing relative to
  // the working folder stands in for it.
  const QByteArray home = qgetenv("HOME");
  const QString workingFolder = QDir::currentPath();
  const QString here = m_env->Path(QStringLiteral("here"));
  QVERIFY(QDir().mkpath(here + QStringLiteral("/vorla/cache")));
  QFile bystander(here + QStringLiteral("/vorla/cache/bystander"));
  QVERIFY(bystander.open(QIODevice::WriteOnly));
  bystander.close();
  QVERIFY(QDir::setCurrent(here));
  qunsetenv("XDG_DATA_HOME");
  qunsetenv("HOME");
  m_env->ServeManifest(Manifest("<webversion>2024.1</webversion><version>3.0.0.7</version>"));

  auto host = Open();
  const bool done = WaitForOutcome(host);
  qputenv("HOME", home);
  QDir::setCurrent(workingFolder);
  QVERIFY(done);
  QCOMPARE(m_checkDone, 1);
  QVERIFY(bystander.exists());
  QVERIFY(!QFile::exists(here + QStringLiteral("/vorla/webversion")));
}

void UpgradePanelTest::webVersionFileThatIsNoFile_data() {
  QTest::addColumn<QString>("kind");
  QTest::newRow("a pipe") << QStringLiteral("pipe");
  QTest::newRow("a link to a pipe") << QStringLiteral("link");
  QTest::newRow("a folder") << QStringLiteral("folder");
}

// Not a regular file: read as empty, not written, and the cache is emptied
// all the same; a pipe blocks nothing.
void UpgradePanelTest::webVersionFileThatIsNoFile() {
  QFETCH(QString, kind);
  QVERIFY(m_env->MakeCache());
  const QByteArray file = QFile::encodeName(m_env->WebVersionFile());
  const QByteArray pipe = QFile::encodeName(m_env->Path(QStringLiteral("pipe")));
  if (kind == "folder")
    QVERIFY(QDir().mkpath(m_env->WebVersionFile() + QStringLiteral("/inside")));
  else
    QCOMPARE(mkfifo(kind == "pipe" ? file.constData() : pipe.constData(), 0600), 0);
  if (kind == "link")
    QCOMPARE(symlink(pipe.constData(), file.constData()), 0);
  m_env->ServeManifest(Manifest("<webversion>2024.1</webversion><version>3.0.0.7</version>"));

  // Should an open block on the pipe, this opens its other end after five
  // seconds, so the test fails instead of hanging.
  std::atomic<bool> done{false}, rescued{false};
  std::thread rescuer([&] {
    for (int waited = 0; waited < 5000 && !done; waited += 50)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (!done) {
      const int fd = open(kind == "pipe" ? file.constData() : pipe.constData(), O_RDWR | O_NONBLOCK);
      if (fd >= 0) {
        rescued = true;
        close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  auto host = Open();
  const bool outcome = WaitForOutcome(host);
  done = true;
  rescuer.join();
  QVERIFY(outcome);
  QVERIFY(!rescued);
  QCOMPARE(m_checkDone, 1);
  QCOMPARE(m_env->CacheEntries(), QStringList());
  QVERIFY(m_env->OutsideIntact());
  struct stat info {};
  QCOMPARE(lstat(file.constData(), &info), 0);
  QVERIFY(kind == "pipe" ? S_ISFIFO(info.st_mode) : kind == "link" ? S_ISLNK(info.st_mode) : S_ISDIR(info.st_mode));
}

// Light text from a dark desktop theme would vanish on the panel's white.
void UpgradePanelTest::readableOnADarkTheme() {
  const QPalette saved = QApplication::palette();
  QPalette dark = saved;
  dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
  dark.setColor(QPalette::WindowText, QColor(0xf0, 0xf0, 0xf0));
  QApplication::setPalette(dark);
  m_env->ServeManifest(Response{.stall = true});
  auto host = Open();
  QTest::qWait(200);
  const QImage tip = Tip(host)->grab().toImage();
  QApplication::setPalette(saved);
  int darkest = 255;
  for (int y = 0; y < tip.height(); ++y)
    for (int x = 0; x < tip.width(); ++x)
      darkest = std::min(darkest, qGray(tip.pixel(x, y)));
  QVERIFY2(darkest < 100, qPrintable(QString::number(darkest)));
  QCOMPARE(qGray(tip.pixel(0, 0)), 255);  // on white
}

// No thread can be had (every new thread's stack is refused): the panel
// keeps waiting, and its host goes at once when closed.
void UpgradePanelTest::withoutAWorkerThreadThePanelKeepsWaiting() {
  m_env->ServeManifest(Manifest("<version>3.0.0.7</version>"));
  pthread_attr_t saved, huge;
  QCOMPARE(pthread_getattr_default_np(&saved), 0);
  QCOMPARE(pthread_attr_init(&huge), 0);
  QCOMPARE(pthread_attr_setstacksize(&huge, size_t(1) << 62), 0);
  QCOMPARE(pthread_setattr_default_np(&huge), 0);
  auto host = Open();
  QCOMPARE(pthread_setattr_default_np(&saved), 0);
  pthread_attr_destroy(&huge);
  pthread_attr_destroy(&saved);
  QTest::qWait(500);
  QCOMPARE(Tip(host)->text(), kWaiting);
  QCOMPARE(m_checkDone, 0);
  QCOMPARE(m_env->Server().RequestCount(), size_t(0));
  QElapsedTimer timer;
  timer.start();
  delete host.data();
  QVERIFY(timer.elapsed() < 1000);
}

namespace {

// Whether the panel is inside its own event handling: a check-done sent
// (not posted) would arrive while it is.
int g_panelEventDepth = 0;

class ObservedPanel : public CUpgradeDlg {
 public:
  using CUpgradeDlg::CUpgradeDlg;

 protected:
  bool event(QEvent* event) override {
    ++g_panelEventDepth;
    const bool handled = CUpgradeDlg::event(event);  // may delete this
    --g_panelEventDepth;
    return handled;
  }
};

// Removes the panel when start-up may go on, as the main window does.
class DeletingHost : public QWidget {
 public:
  DeletingHost() : m_panel(new ObservedPanel(this)) { resize(640, 480); }
  QPointer<CUpgradeDlg> Panel() const { return m_panel; }
  int received = 0;
  int depthAtReceipt = -1;

 protected:
  bool event(QEvent* event) override {
    if (event->type() == kCheckDoneEvent) {
      ++received;
      depthAtReceipt = g_panelEventDepth;
      delete m_panel.data();
      return true;
    }
    return QWidget::event(event);
  }

 private:
  QPointer<CUpgradeDlg> m_panel;
};

}  // namespace

void UpgradePanelTest::checkDoneIsPostedToAHostThatDeletesThePanel() {
  m_env->ServeManifest(Manifest("<version>3.0.0.7</version>"));
  DeletingHost host;
  host.show();
  QTRY_COMPARE_WITH_TIMEOUT(host.received, 1, 15000);
  QCOMPARE(host.depthAtReceipt, 0);
  QVERIFY(host.Panel().isNull());
  QTest::qWait(200);
  QCOMPARE(host.received, 1);
}

void UpgradePanelTest::enterAndEscapeDoNothing() {
  // A dialog as host: Escape and Enter passed on to it would close it.
  m_env->ServeManifest(Response{.stall = true});
  m_dialog = new QDialog;
  auto* panel = new CUpgradeDlg(m_dialog);
  m_dialog->resize(640, 480);
  panel->resize(640, 480);
  m_dialog->show();
  QVERIFY(m_env->Server().WaitForRequests(1, 10000));
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
    QTest::keyClick(panel, key);
  QTest::qWait(200);
  QVERIFY(m_dialog->isVisible());
  QVERIFY(panel->isVisible());
  QCOMPARE(Tip(m_dialog)->text(), kWaiting);
}

void UpgradePanelTest::destructionWaitsForTheWorker_data() {
  QTest::addColumn<Response>("late");
  QTest::newRow("the transfer fails late") << Response{.dropBeforeResponse = true};
  QTest::newRow("an update due, answered late")
      << Manifest("<webversion>late</webversion><version>3.0.0.8</version><updatetype>2</updatetype>");
}

void UpgradePanelTest::destructionWaitsForTheWorker() {
  QFETCH(Response, late);
  m_env->Server().Route("/pcupdate/update.xml", [late](const vorla::testing::Request&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    return late;
  });
  auto host = Open();
  QVERIFY(m_env->Server().WaitForRequests(1, 10000));

  QElapsedTimer timer;
  timer.start();
  delete host.data();  // stops the transfer, returns once the worker has ended
  const qint64 waited = timer.elapsed();
  // The late answer is not waited for: a user who quits is not kept waiting.
  QVERIFY2(waited < 1500, qPrintable(QString::number(waited)));
  QTest::qWait(300);  // the result posted during the wait must have been dropped
  QCOMPARE(m_checkDone, 0);
  QCOMPARE(m_env->UpdaterRecord(), QString());
  QVERIFY(!QFile::exists(m_env->WebVersionFile()));
}

void UpgradePanelTest::hostDestroyedWhileAsking_data() {
  QTest::addColumn<std::string>("updateType");
  QTest::newRow("optional") << std::string("0");
  QTest::newRow("mandatory") << std::string("1");
}

void UpgradePanelTest::hostDestroyedWhileAsking() {
  QFETCH(std::string, updateType);
  m_env->ServeManifest(Manifest("<version>3.0.0.8</version><updatetype>" + updateType + "</updatetype>"));
  BoxAnswerer box(QMessageBox::Yes, [this] { delete m_host.data(); });
  auto host = Open();
  QTRY_VERIFY_WITH_TIMEOUT(box.seen, 15000);
  QVERIFY(host.isNull());
  QTest::qWait(300);
  QCOMPARE(m_checkDone, 0);
  QCOMPARE(m_env->UpdaterRecord(), QString());  // nobody is left to hand over to
}

QTEST_MAIN(UpgradePanelTest)
#include "upgrade_panel_test.moc"
