// The real binding under Xvfb, in the ways a user loses a file or the
// program's state with ordinary actions: a download saved over a file on a
// small file system, a download from the main page, a signal sent to every
// process of the program, a lock folder another user made first, and the
// pages' last words at the end.

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <memory>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "testsupport/loopback_server.h"
#include "testsupport/xdotool.h"

using vorla::testing::AnswerQuestion;
using vorla::testing::Click;
using vorla::testing::CountRequests;
using vorla::testing::LoopbackServer;
using vorla::testing::Response;
using vorla::testing::SendCloseRequest;
using vorla::testing::WaitForWindow;
using vorla::testing::Windows;
using vorla::testing::Xdotool;

namespace {

const QString kSignInTitle = QStringLiteral("Vorla Sign-in");
const QString kVendorTitle = QStringLiteral("Vorla Vendor Home");
const QString kCaption = QStringLiteral("Vorla");
const QString kSaveAsTitle = QStringLiteral("另存为");
// An unprivileged user to run binding as.
constexpr int kNobody = 65534;

Response Html(const QString& title, const std::string& body) {
  return Response{.headers = {{"Content-Type", "text/html"}},
                  .body = "<html><head><title>" + title.toStdString() + "</title></head><body>" + body +
                          "</body></html>"};
}

// `size` bytes that differ from those of every other size.
QByteArray Payload(int size) {
  QByteArray bytes(size, Qt::Uninitialized);
  for (int i = 0; i < size; ++i)
    bytes[i] = char(i * 7 + i / 1024 + size);
  return bytes;
}

Response Attachment(const QByteArray& body, const std::string& name) {
  return Response{.headers = {{"Content-Type", "application/octet-stream"},
                              {"Content-Disposition", "attachment; filename=" + name}},
                  .body = body.toStdString()};
}

// `pid` and every process descended from it.
QList<int> ProcessTree(int pid) {
  QList<int> tree{pid};
  for (qsizetype i = 0; i < tree.size(); ++i) {
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
      QFile stat("/proc/" + entry + "/stat");
      if (entry.toInt() <= 0 || !stat.open(QIODevice::ReadOnly))
        continue;
      // "pid (name) state ppid ...": the name may hold blanks and brackets.
      const QByteArray line = stat.readAll();
      const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
      if (fields.size() > 1 && fields[1].toInt() == tree[i] && !tree.contains(entry.toInt()))
        tree << entry.toInt();
    }
  }
  return tree;
}

// Neither gone nor a zombie.
bool IsAlive(int pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly))
    return false;
  const QByteArray line = stat.readAll();
  return line.mid(line.lastIndexOf(')') + 2, 1) != "Z";
}

// Focuses `window` and types `key` into it, as a user at the keyboard.
void Type(const QString& window, const QString& key) {
  Xdotool({"windowraise", window});
  Xdotool({"windowfocus", "--sync", window});
  Xdotool({"key", key});
}

// Saves the download the dialog offers where it suggests: Enter, as a user does.
// `replace`: Yes to the dialog's question whether to replace the file there.
bool SaveAsSuggested(bool replace) {
  const QString dialog = WaitForWindow(kSaveAsTitle, {}, 20000);
  if (dialog.isEmpty())
    return false;
  Type(dialog, "Return");
  if (!replace)
    return true;
  const QString question = WaitForWindow(kSaveAsTitle, {dialog}, 10000);
  return !question.isEmpty() && AnswerQuestion(question, "alt+y");
}

}  // namespace

class BindingKeepsDataTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void downloadOverExistingFile_data();
  void downloadOverExistingFile();
  void downloadFromMainPageAsksNothing();
  void signalToEveryProcess();
  void lockFolderTakenByAnotherUser();
  void pagesLastWordsBeforeTheEnd();

 private:
  QString Path(const QString& relative) const { return m_temp->filePath(relative); }
  QProcessEnvironment Environment() const;
  // Starts `command` (binding, or a program that ends in it) with the test's
  // environment; the main window once the sign-in page titles it, or empty.
  QString StartToSignIn(QProcess& process, const QString& program, const QStringList& arguments = {});
  // SIGTERM: the program ends in order, as at logout.
  static void End(QProcess& process);

  std::unique_ptr<QTemporaryDir> m_temp;
  std::unique_ptr<LoopbackServer> m_server;
};

void BindingKeepsDataTest::init() {
  // Not in /tmp: a case hides /tmp behind a file system of its own.
  m_temp = std::make_unique<QTemporaryDir>(QDir::currentPath() + "/keeps-data-XXXXXX");
  QVERIFY(m_temp->isValid());
  QVERIFY(QDir().mkpath(Path("bin")));
  QVERIFY(QFile::copy(BINDING_PROGRAM, Path("bin/binding")));
  // No update is offered, so no updater is ever started.
  for (const char* folder : {"data", "home/Documents", "work", "tmp", "run"})
    QVERIFY(QDir().mkpath(Path(folder)));
  QVERIFY(QFile::setPermissions(Path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  m_server = std::make_unique<LoopbackServer>();
  m_server->Route("/pcupdate/update.xml",
                  Response{.body = "<update><version>3.0.0.7</version><webversion>w1</webversion>"
                                   "<updatetype>0</updatetype></update>"});
  m_server->Route("/loaded", Response{.status = 204});
  m_server->Route("/", Html(kVendorTitle, "Home"));
}

void BindingKeepsDataTest::cleanup() {
  m_server.reset();
  m_temp.reset();
}

QProcessEnvironment BindingKeepsDataTest::Environment() const {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("http_proxy", QString::fromStdString(m_server->BaseUrl()));
  environment.remove("no_proxy");
  environment.insert("XDG_DATA_HOME", Path("data"));
  environment.insert("HOME", Path("home"));
  environment.remove("XDG_CONFIG_HOME");
  environment.insert("TMPDIR", Path("tmp"));
  environment.insert("XDG_RUNTIME_DIR", Path("run"));
  environment.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
  // As on most desktops: accessibility changes the engine's paths.
  environment.remove("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
  return environment;
}

QString BindingKeepsDataTest::StartToSignIn(QProcess& process, const QString& program, const QStringList& arguments) {
  process.setProcessEnvironment(Environment());
  process.setWorkingDirectory(Path("work"));
  process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process.start(program, arguments);
  if (!process.waitForStarted(10000))
    return {};
  return WaitForWindow(kSignInTitle, {}, 30000);
}

void BindingKeepsDataTest::End(QProcess& process) {
  ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
  QVERIFY2(process.waitForFinished(15000), "SIGTERM should end the program");
  QCOMPARE(process.exitCode(), 0);
}

// A 40,000-byte report.pdf on a 64 KiB file system of its own (a USB stick, a
// share), a download saved over it from the private temporary folder on
// another: it is replaced whole when the new one fits, and stays exactly as it
// was, with nothing beside it, when the disk fills.
void BindingKeepsDataTest::downloadOverExistingFile_data() {
  QTest::addColumn<int>("size");
  QTest::addColumn<bool>("fits");
  QTest::newRow("the new file fits") << 20000 << true;
  QTest::newRow("the disk fills") << 100000 << false;
}

void BindingKeepsDataTest::downloadOverExistingFile() {
  QFETCH(int, size);
  QFETCH(bool, fits);
  if (geteuid() != 0)
    QSKIP("the unprivileged user's namespaces are made by root here");
  const QByteArray original = Payload(40000);
  const QByteArray download = Payload(size);
  QFile file(Path("original"));
  QVERIFY(file.open(QIODevice::WriteOnly) && file.write(original) == original.size());
  file.close();
  m_server->Route("/signin", Html(kSignInTitle, "Sign in<script>addEventListener('load',"
                                                "()=>setTimeout(()=>location='/report.pdf',500));</script>"));
  m_server->Route("/report.pdf", Attachment(download, "report.pdf"));

  // The user's folders are the unprivileged user's; in its namespaces the
  // Documents folder is a small file system that goes with them.
  QVERIFY(QFile::setPermissions(m_temp->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                    QFile::ReadOther | QFile::ExeOther));
  for (const char* folder : {"data", "home", "home/Documents", "work", "tmp", "run"})
    QCOMPARE(::chown(Path(folder).toLocal8Bit().constData(), kNobody, kNobody), 0);
  QProcess process;
  const QString window = StartToSignIn(
      process, "setpriv",
      {"--reuid=" + QString::number(kNobody), "--regid=" + QString::number(kNobody), "--clear-groups", "unshare",
       "--user", "--map-root-user", "--mount", "sh", "-c",
       "mount -t tmpfs -o size=64k tmpfs \"$HOME/Documents\" && cp \"$0\" \"$HOME/Documents/report.pdf\" && exec \"$1\"",
       Path("original"), Path("bin/binding")});
  QVERIFY(!window.isEmpty());
  // The namespace's view of the folder, while its program runs.
  const QString documents = QStringLiteral("/proc/%1/root%2").arg(process.processId()).arg(Path("home/Documents"));
  QCOMPARE(QDir(documents).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{"report.pdf"});

  QVERIFY2(SaveAsSuggested(true), "the download should be offered and saved over report.pdf");
  const QString report = documents + "/report.pdf";
  auto contents = [&] {
    QFile saved(report);
    return saved.open(QIODevice::ReadOnly) ? saved.readAll() : QByteArray();
  };
  if (fits) {
    QTRY_VERIFY_WITH_TIMEOUT(contents() == download, 15000);
    QCOMPARE(Windows(kCaption), QStringList());
  } else {
    const QString told = WaitForWindow(kCaption, {}, 15000);
    QVERIFY2(!told.isEmpty(), "the user should be told the file was not saved");
    QVERIFY2(contents() == original, "the existing file should stay as it was");
  }
  QCOMPARE(QDir(documents).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
           QStringList{"report.pdf"});
  QCOMPARE(Windows(kSignInTitle), QStringList{window});
  End(process);
}

// A link to an attachment on the service's own page: saved with Enter in the
// dialog, the file arrives whole, no exit question comes and the window stays
// on its page. A pop-up that shows a page stays after its download too.
void BindingKeepsDataTest::downloadFromMainPageAsksNothing() {
  const QByteArray report = Payload(300 * 1024);
  const QByteArray notes = Payload(1000);
  m_server->Route("/signin", Html(kSignInTitle, "<a href='/report.bin' style='display:block;font-size:60px'>"
                                                "Download a report</a><script>addEventListener('load',"
                                                "()=>fetch('/loaded'));</script>"));
  m_server->Route("/report.bin", Attachment(report, "report.bin"));
  m_server->Route("/", Html(kVendorTitle, "Home<script>addEventListener('load',"
                                          "()=>setTimeout(()=>location='/notes.bin',500));</script>"));
  m_server->Route("/notes.bin", Attachment(notes, "notes.bin"));
  auto saved = [&](const QString& name) {
    QFile file(Path("home/Documents/" + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  };
  QProcess process;
  const QString window = StartToSignIn(process, Path("bin/binding"));
  QVERIFY(!window.isEmpty());
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 1, 10000);

  Click(window, 100, 40);
  QVERIFY2(SaveAsSuggested(false), "the link should offer its download");
  QTRY_VERIFY_WITH_TIMEOUT(saved("report.bin") == report, 15000);
  QTest::qWait(1500);  // a close of the main browser would have asked by now
  QCOMPARE(Windows(kCaption), QStringList());
  QCOMPARE(Windows(kSignInTitle), QStringList{window});
  QCOMPARE(CountRequests(*m_server, "/signin"), 1);

  ::kill(static_cast<pid_t>(process.processId()), SIGUSR1);
  const QString popup = WaitForWindow(kVendorTitle);
  QVERIFY(!popup.isEmpty());
  QVERIFY2(SaveAsSuggested(false), "the pop-up's page should offer its download");
  QTRY_VERIFY_WITH_TIMEOUT(saved("notes.bin") == notes, 15000);
  QTest::qWait(1000);
  QCOMPARE(Windows(kVendorTitle), QStringList{popup});
  QCOMPARE(Windows(kCaption), QStringList());
  QCOMPARE(process.state(), QProcess::Running);
  End(process);
}

// SIGUSR1 sent to every process of a running binding, as "pkill -USR1" by
// name does: the engine's helpers live on, the page with them, and one home
// page opens; a later signal opens one more.
void BindingKeepsDataTest::signalToEveryProcess() {
  m_server->Route("/signin", Html(kSignInTitle, "Sign in<script>addEventListener('load',()=>fetch('/loaded'));"
                                                "setInterval(()=>fetch('/tick'),200);</script>"));
  m_server->Route("/tick", Response{.status = 204});
  QProcess process;
  const QString window = StartToSignIn(process, Path("bin/binding"));
  QVERIFY(!window.isEmpty());
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 1, 10000);
  const int pid = static_cast<int>(process.processId());
  const QList<int> processes = ProcessTree(pid);
  QVERIFY2(processes.size() > 2, "the engine should run helper processes");

  for (int each : processes)
    ::kill(each, SIGUSR1);
  const QString popup = WaitForWindow(kVendorTitle);
  QVERIFY2(!popup.isEmpty(), "the signal should open the home page");
  const int ticks = CountRequests(*m_server, "/tick");
  QTest::qWait(1500);
  for (int each : processes)
    QVERIFY2(IsAlive(each), qPrintable(QStringLiteral("process %1 should live on").arg(each)));
  QVERIFY2(CountRequests(*m_server, "/tick") > ticks + 3, "the page should go on running");
  QCOMPARE(CountRequests(*m_server, "/signin"), 1);
  QCOMPARE(CountRequests(*m_server, "/"), 1);
  QCOMPARE(Windows(kVendorTitle), QStringList{popup});

  ::kill(pid, SIGUSR1);
  QVERIFY(!WaitForWindow(kVendorTitle, {popup}).isEmpty());
  End(process);
}

// Without XDG_RUNTIME_DIR, another user has made /tmp/vorla-<uid> first: a
// second start still hands over to the running one. /tmp is a file system of
// the test's own, in a mount namespace both starts share.
void BindingKeepsDataTest::lockFolderTakenByAnotherUser() {
  if (geteuid() != 0)
    QSKIP("only root can make a folder another user owns");
  m_server->Route("/signin", Html(kSignInTitle, "Sign in"));
  QProcess first;
  QProcessEnvironment environment = Environment();
  environment.remove("XDG_RUNTIME_DIR");
  first.setProcessEnvironment(environment);
  first.setWorkingDirectory(Path("work"));
  first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  first.start("unshare", {"--mount", "--propagation", "private", "sh", "-c",
                          "mount -t tmpfs -o size=16m tmpfs /tmp && mkdir -m 0777 /tmp/vorla-$(id -u) && "
                          "chown 65534:65534 /tmp/vorla-$(id -u) && exec \"$0\"",
                          Path("bin/binding")});
  QVERIFY(first.waitForStarted(10000));
  const QString window = WaitForWindow(kSignInTitle, {}, 30000);
  QVERIFY(!window.isEmpty());
  QCOMPARE(Windows(kSignInTitle), QStringList{window});
  QProcess second;
  second.setProcessEnvironment(environment);
  second.setWorkingDirectory(Path("work"));
  second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  second.start("nsenter", {QStringLiteral("--mount=/proc/%1/ns/mnt").arg(first.processId()), Path("bin/binding")});
  QVERIFY(second.waitForStarted(10000));
  QVERIFY2(second.waitForFinished(15000), "a second start should hand over and end");
  QCOMPARE(second.exitCode(), 0);
  QCOMPARE(Windows(kSignInTitle), QStringList{window});
  QCOMPARE(CountRequests(*m_server, "/signin"), 1);
  End(first);
}

// Yes to the exit question with two pop-ups open: each pop-up's pagehide
// handler, and the main page's, runs before the program ends (pages save
// drafts there).
void BindingKeepsDataTest::pagesLastWordsBeforeTheEnd() {
  // As a page that first gathers its draft: a moment's work, then the beacon.
  auto beacon = [](const std::string& page) {
    return "<script>addEventListener('pagehide',()=>{const t=Date.now();while(Date.now()-t<100);"
           "navigator.sendBeacon('/gone?" + page + "');});</script>";
  };
  m_server->Route("/signin", Html(kSignInTitle, "Sign in" + beacon("main") +
                                                "<script>addEventListener('load',()=>fetch('/loaded'));</script>"));
  m_server->Route("/", Html(kVendorTitle, "Home" + beacon("popup")));
  m_server->Route("/gone", Response{.status = 204});
  QProcess process;
  const QString window = StartToSignIn(process, Path("bin/binding"));
  QVERIFY(!window.isEmpty());
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 1, 10000);
  const pid_t pid = static_cast<pid_t>(process.processId());
  ::kill(pid, SIGUSR1);
  const QString first = WaitForWindow(kVendorTitle);
  QVERIFY(!first.isEmpty());
  ::kill(pid, SIGUSR1);
  QVERIFY(!WaitForWindow(kVendorTitle, {first}).isEmpty());

  SendCloseRequest(window);
  const QString question = WaitForWindow(kCaption, {}, 10000);
  QVERIFY2(!question.isEmpty(), "the close request should ask the exit question");
  QVERIFY(AnswerQuestion(question, "Return"));
  QVERIFY2(process.waitForFinished(15000), "Yes should end the program");
  QCOMPARE(process.exitCode(), 0);
  // Logged as they arrive: what the server has now came before the end.
  QCOMPARE(CountRequests(*m_server, "/gone?popup"), 2);
  QCOMPARE(CountRequests(*m_server, "/gone?main"), 1);
}

QTEST_MAIN(BindingKeepsDataTest)
#include "binding_keeps_data_test.moc"
