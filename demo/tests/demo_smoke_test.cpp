// binding as a user runs it: the demo site (nginx and its sign-in service)
// started by its own script, the program reaching it through http_proxy,
// its windows driven with xdotool and closed the way a window manager closes
// them. Once from the build tree, once from a cmake --install prefix.

#include <memory>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "testsupport/xdotool.h"

using vorla::testing::SendCloseRequest;
using vorla::testing::WaitForWindow;
using vorla::testing::Windows;
using vorla::testing::Xdotool;

namespace {

const QString kSignInTitle = QStringLiteral("Vorla Sign-in");
const QString kSignedInTitle = QStringLiteral("Vorla Workspace");
const QString kCaption = QStringLiteral("Vorla");
const QString kUpdaterTitle = QStringLiteral("升级");

// Types `key` into `window` until a window titled `title` shows: a key typed
// while a page is still settling can be lost; a few attempts at most.
QString TypeUntil(const QString& window, const QString& key, const QString& title, const QStringList& known = {}) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    Xdotool({"windowfocus", "--sync", window});
    Xdotool({"key", key});
    const QString found = WaitForWindow(title, known, 4000);
    if (!found.isEmpty())
      return found;
  }
  return {};
}

}  // namespace

class DemoSmokeTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void signedInAcrossRuns_data();
  void signedInAcrossRuns();
  void installedBindingStartsItsOwnUpgrade();

 private:
  QString Path(const QString& relative) const { return m_temp->filePath(relative); }
  // Starts demo/site.sh with `manifest`; false when it did not answer in time.
  bool StartSite(const QString& manifest);
  void StopSite();
  // Starts `program` as the user would, against the site; false if it did not start.
  bool StartBinding(QProcess& process, const QString& program);
  // Closes `window` through the exit question answered Yes; the program ends.
  void QuitThroughQuestion(QProcess& process, const QString& window);
  int SignInPosts() const;

  std::unique_ptr<QTemporaryDir> m_temp;
  std::unique_ptr<QProcess> m_site;
  QString m_proxy;
};

void DemoSmokeTest::init() {
  m_temp = std::make_unique<QTemporaryDir>();
  QVERIFY(m_temp->isValid());
  for (const char* folder : {"data", "home", "tmp", "work"})
    QVERIFY(QDir().mkpath(Path(folder)));
}

void DemoSmokeTest::cleanup() {
  StopSite();
  m_temp.reset();
}

bool DemoSmokeTest::StartSite(const QString& manifest) {
  m_site = std::make_unique<QProcess>();
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("VORLA_DEMO_STATE", Path("site"));
  environment.insert("VORLA_VENDOR_HOST", VENDOR_HOST);
  environment.insert("VORLA_SERVICE_HOST", SERVICE_HOST);
  m_site->setProcessEnvironment(environment);
  m_site->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  m_site->start("bash", {DEMO_SITE, manifest});
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 20000 && m_site->state() != QProcess::NotRunning) {
    m_site->waitForReadyRead(500);
    while (m_site->canReadLine()) {
      const QString line = QString::fromUtf8(m_site->readLine()).trimmed();
      if (line.startsWith("http_proxy=")) {
        m_proxy = line.mid(int(strlen("http_proxy=")));
        return true;
      }
    }
  }
  return false;
}

void DemoSmokeTest::StopSite() {
  if (!m_site)
    return;
  m_site->terminate();
  if (!m_site->waitForFinished(10000)) {
    m_site->kill();
    m_site->waitForFinished(5000);
  }
  m_site.reset();
}

bool DemoSmokeTest::StartBinding(QProcess& process, const QString& program) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("http_proxy", m_proxy);
  environment.remove("no_proxy");
  environment.insert("XDG_DATA_HOME", Path("data"));
  environment.insert("HOME", Path("home"));
  environment.insert("TMPDIR", Path("tmp"));
  environment.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
  process.setProcessEnvironment(environment);
  process.setWorkingDirectory(Path("work"));
  process.start(program, {});
  return process.waitForStarted(10000);
}

void DemoSmokeTest::QuitThroughQuestion(QProcess& process, const QString& window) {
  const QStringList before = Windows(kCaption);
  SendCloseRequest(window);
  const QString question = WaitForWindow(kCaption, before, 10000);
  QVERIFY2(!question.isEmpty(), "the close request should ask the exit question");
  for (int attempt = 0; attempt < 5 && process.state() != QProcess::NotRunning; ++attempt) {
    Xdotool({"windowfocus", "--sync", question});
    Xdotool({"key", "Return"});  // Yes is the default answer
    process.waitForFinished(3000);
  }
  QVERIFY2(process.state() == QProcess::NotRunning || process.waitForFinished(15000), "Yes should end the program");
  QCOMPARE(process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(process.exitCode(), 0);
}

// Answers to the sign-in form, from the site's own access log.
int DemoSmokeTest::SignInPosts() const {
  QFile log(Path("site/access.log"));
  if (!log.open(QIODevice::ReadOnly))
    return 0;
  int count = 0;
  const QRegularExpression post(R"("POST \S*/signin HTTP/1\.1" 303 )");
  for (const QByteArray& line : log.readAll().split('\n'))
    count += post.match(QString::fromUtf8(line)).hasMatch();
  return count;
}

void DemoSmokeTest::signedInAcrossRuns_data() {
  QTest::addColumn<QString>("program");
  QTest::newRow("build tree") << QString(BINDING_PROGRAM);
  QTest::newRow("installed tree") << QString(INSTALL_PREFIX "/bin/binding");
}

// Signs in through the form, quits through the exit question, starts again
// and is shown the signed-in page without the form.
void DemoSmokeTest::signedInAcrossRuns() {
  QFETCH(QString, program);
  QVERIFY2(QFile::exists(program), qPrintable(program));
  QVERIFY2(StartSite("none"), "the demo site should start");
  {
    QProcess binding;
    QVERIFY(StartBinding(binding, program));
    const QString form = WaitForWindow(kSignInTitle, {}, 30000);
    QVERIFY2(!form.isEmpty(), "the sign-in page should title the main window");
    // The desktop entry's StartupWMClass names this window's class.
    QVERIFY(Xdotool({"search", "--onlyvisible", "--class", "^binding$"}).split('\n').contains(form));
    QTest::qWait(1000);  // the page settles before the user acts
    const QString signedIn = TypeUntil(form, "Return", kSignedInTitle);
    QVERIFY2(!signedIn.isEmpty(), "submitting the form should open the signed-in page");
    QCOMPARE(SignInPosts(), 1);
    QuitThroughQuestion(binding, signedIn);
    if (QTest::currentTestFailed())
      return;
  }
  QProcess binding;
  QVERIFY(StartBinding(binding, program));
  const QString window = WaitForWindow(kSignedInTitle, {}, 30000);
  QVERIFY2(!window.isEmpty(), "the second start should be signed in already");
  QCOMPARE(SignInPosts(), 1);
  QuitThroughQuestion(binding, window);
}

// A silent update: the installed binding hands over to the upgrade beside it,
// which downloads the demo installer and starts it.
void DemoSmokeTest::installedBindingStartsItsOwnUpgrade() {
  const QString prefix = QDir(INSTALL_PREFIX).canonicalPath();
  QVERIFY2(!prefix.isEmpty(), INSTALL_PREFIX);
  QVERIFY2(StartSite("silent"), "the demo site should start");
  QProcess binding;
  QVERIFY(StartBinding(binding, prefix + "/bin/binding"));
  QVERIFY2(binding.waitForFinished(30000), "binding should end after starting the updater");
  QCOMPARE(binding.exitCode(), 0);

  const QString updater = WaitForWindow(kUpdaterTitle, {}, 20000);
  QVERIFY2(!updater.isEmpty(), "the updater's window should show");
  const QString pid = Xdotool({"getwindowpid", updater});
  QVERIFY(!pid.isEmpty());
  QCOMPARE(QFileInfo("/proc/" + pid + "/exe").symLinkTarget(), prefix + "/bin/upgrade");

  // The demo installer leaves its marker in a folder of its own under TMPDIR.
  QString marker;
  QElapsedTimer timer;
  timer.start();
  while (marker.isEmpty() && timer.elapsed() < 30000) {
    for (const QString& folder : QDir(Path("tmp")).entryList({"vorla-demo-installer.*"}, QDir::Dirs))
      if (QFile::exists(Path("tmp/" + folder + "/ran.txt")))
        marker = Path("tmp/" + folder + "/ran.txt");
    QTest::qWait(200);
  }
  QVERIFY2(!marker.isEmpty(), "the downloaded installer should run");
  QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists("/proc/" + pid), 10000);  // the updater has ended
}

QTEST_GUILESS_MAIN(DemoSmokeTest)
#include "demo_smoke_test.moc"
