// The whole update cycle on the real programs, as a user meets it: release N
// (this build) installed per-user into a prefix, run as an ordinary user;
// release N+1 made and signed by scripts/release.sh, published on the
// loopback vendor host; the user accepts the update, and the installer puts N+1 in place and
// starts it, still signed in. Also a damaged installer and a manifest that
// announces a release newer than its installer brings: neither may loop.

#include <csignal>
#include <memory>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

#include "testsupport/loopback_server.h"
#include "testsupport/update_signing.h"
#include "testsupport/xdotool.h"

using vorla::testing::AnswerQuestion;
using vorla::testing::CountRequests;
using vorla::testing::LoopbackServer;
using vorla::testing::Request;
using vorla::testing::Response;
using vorla::testing::SignUpdate;
using vorla::testing::WaitForWindow;
using vorla::testing::Windows;

namespace {

const QString kSignInTitle = QStringLiteral("Vorla Sign-in");
const QString kCaption = QStringLiteral("Vorla");
const char kInstaller[] = "/download/vorla-" NEXT_VERSION ".run";
constexpr uid_t kNobody = 65534;

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class UpdateCycleTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void acceptedUpdateStartsTheNewReleaseSignedIn();
  void damagedInstallerLeavesTheReleaseAsItWas();
  void manifestNewerThanItsInstallerDoesNotLoop();

 private:
  QString Path(const QString& relative) const { return m_temp->filePath(relative); }
  QString Prefix() const { return Path("prefix"); }
  QString InstalledVersion() const { return QString::fromUtf8(ReadFile(Prefix() + "/share/vorla/version")).trimmed(); }
  void Publish(const QByteArray& manifest);
  // A silent update to `version` with this installer, its digest and signature.
  void PublishSilent(const std::string& version, const QByteArray& installer);
  // Starts the installed binding as the user would, from the desktop entry.
  void StartInstalled(QProcess& process);
  // The running bindings of the prefix, whoever started them.
  QList<qint64> RunningBindings() const;
  // Ends them the way the session's end does; true when all have gone.
  bool EndRunningBindings();
  QString LastSignInCookie() const;

  std::unique_ptr<QTemporaryDir> m_temp;
  std::unique_ptr<LoopbackServer> m_server;
  std::string m_cookie;
};

void UpdateCycleTest::init() {
  m_temp = std::make_unique<QTemporaryDir>();
  QVERIFY(m_temp->isValid());
  for (const char* folder : {"home", "data", "tmp", "runtime", "fake"})
    QVERIFY(QDir().mkpath(Path(folder)));
  QFile::setPermissions(Path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  // Release N, installed per-user.
  QProcess install;
  install.start("cmake", {"--install", BUILD_DIR, "--prefix", Prefix()});
  QVERIFY(install.waitForFinished(60000) && install.exitCode() == 0);
  QCOMPARE(InstalledVersion(), QString(THIS_VERSION));
  // Its updater trusts the key the release command signs with.
  QVERIFY(QFile::remove(Prefix() + "/bin/upgrade"));
  QVERIFY(QFile::copy(SIGNED_UPGRADE_PROGRAM, Prefix() + "/bin/upgrade"));
  // The installer tells its failures through zenity: this one writes them down.
  QFile zenity(Path("fake/zenity"));
  QVERIFY(zenity.open(QIODevice::WriteOnly));
  zenity.write(("#!/bin/sh\necho \"$*\" >> '" + Path("told").toStdString() + "'\n").c_str());
  zenity.close();
  QVERIFY(zenity.setPermissions(QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
  // An ordinary user, as updates run; root would take the package route.
  if (geteuid() == 0) {
    QVERIFY(QFile::setPermissions(m_temp->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                      QFile::ReadOther | QFile::ExeOther));
    QProcess chown;
    chown.start("chown", {"-R", QString("%1:%1").arg(kNobody), m_temp->path()});
    QVERIFY(chown.waitForFinished(10000) && chown.exitCode() == 0);
  }

  m_server = std::make_unique<LoopbackServer>();
  m_cookie = "s" + std::to_string(QRandomGenerator::global()->generate());
  m_server->Route("/signin", Response{.headers = {{"Content-Type", "text/html"}},
                                      .body = "<html><head><title>" + kSignInTitle.toStdString() +
                                              "</title></head><body>Sign in<script>document.cookie='session=" +
                                              m_cookie + "; path=/';addEventListener('load',()=>fetch('/loaded'));"
                                              "</script></body></html>"});
  m_server->Route("/loaded", Response{.body = "ok"});
  m_server->Route(kInstaller, Response{.headers = {{"Content-Type", "application/octet-stream"}},
                                       .bodyFile = RELEASE_DIR "/vorla-" NEXT_VERSION ".run"});
}

void UpdateCycleTest::cleanup() {
  QVERIFY2(EndRunningBindings(), "a binding of the prefix did not end");
  m_server.reset();
  m_temp.reset();
}

void UpdateCycleTest::Publish(const QByteArray& manifest) {
  m_server->Route("/pcupdate/update.xml", Response{.body = manifest.toStdString()});
}

void UpdateCycleTest::PublishSilent(const std::string& version, const QByteArray& installer) {
  // Signed, as the vendor would sign such a mistake.
  const std::string digest = QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex().toStdString();
  Publish(QByteArray::fromStdString("<update><version>" + version + "</version><updatetype>2</updatetype><url>http://" +
                                    VENDOR_HOST + std::string(kInstaller) + "</url><sha256>" + digest +
                                    "</sha256><signature>" + SignUpdate(TEST_KEY, version, digest) +
                                    "</signature></update>"));
}

void UpdateCycleTest::StartInstalled(QProcess& process) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("http_proxy", QString::fromStdString(m_server->BaseUrl()));
  environment.remove("no_proxy");
  environment.insert("HOME", Path("home"));
  environment.insert("XDG_DATA_HOME", Path("data"));
  environment.insert("XDG_RUNTIME_DIR", Path("runtime"));
  environment.insert("TMPDIR", Path("tmp"));
  environment.insert("PATH", Path("fake") + ":" + environment.value("PATH"));
  environment.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
  environment.remove("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
  process.setProcessEnvironment(environment);
  process.setWorkingDirectory(Path("home"));
  const QString binding = Prefix() + "/bin/binding";
  if (geteuid() == 0)
    process.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", binding});
  else
    process.start(binding, {});
  QVERIFY(process.waitForStarted(10000));
}

QList<qint64> UpdateCycleTest::RunningBindings() const {
  QList<qint64> pids;
  const QString binding = QDir(Prefix()).canonicalPath() + "/bin/binding";
  for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
    const QString exe = QFile::symLinkTarget("/proc/" + entry + "/exe");
    const QByteArray stat = ReadFile("/proc/" + entry + "/stat");
    // The engine's sub-processes are the same program: only the one the
    // others descend from counts, the one whose cmdline has no --type=.
    if (entry.toLongLong() && (exe == binding || exe == binding + " (deleted)") &&
        !ReadFile("/proc/" + entry + "/cmdline").contains("--type=") &&
        stat.mid(stat.lastIndexOf(')') + 2, 1) != "Z")
      pids.append(entry.toLongLong());
  }
  return pids;
}

bool UpdateCycleTest::EndRunningBindings() {
  for (qint64 pid : RunningBindings())
    ::kill(pid_t(pid), SIGTERM);
  QElapsedTimer timer;
  timer.start();
  while (!RunningBindings().isEmpty() && timer.elapsed() < 15000)
    QTest::qWait(100);
  for (qint64 pid : RunningBindings())
    ::kill(pid_t(pid), SIGKILL);
  return RunningBindings().isEmpty();
}

QString UpdateCycleTest::LastSignInCookie() const {
  std::string cookie;
  for (const Request& request : m_server->Requests())
    if (request.path == "/signin")
      cookie = request.Header("Cookie");
  return QString::fromStdString(cookie);
}

void UpdateCycleTest::acceptedUpdateStartsTheNewReleaseSignedIn() {
  // Release N signs the user in and ends as the session's end would.
  Publish("<update><version>" THIS_VERSION "</version><webversion>w1</webversion></update>");
  {
    QProcess binding;
    StartInstalled(binding);
    QVERIFY2(!WaitForWindow(kSignInTitle, {}, 30000).isEmpty(), "release N should show the sign-in page");
    QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 1, 10000);
    QTest::qWait(1000);
    QVERIFY(EndRunningBindings());
  }

  // N+1, as the release command published it: N asks, and the user says Yes.
  Publish(ReadFile(RELEASE_DIR "/update.xml"));
  QProcess binding;
  StartInstalled(binding);
  const QString main = WaitForWindow(kCaption, {}, 30000);
  const QString question = WaitForWindow(kCaption, {main}, 30000);
  QVERIFY2(!question.isEmpty(), "release N should offer the update");
  QElapsedTimer sinceYes;
  sinceYes.start();
  QVERIFY(AnswerQuestion(question, "Return"));

  const QString window = WaitForWindow(kSignInTitle, {}, 90000);
  QVERIFY2(!window.isEmpty(), "release N+1 should start by itself");
  qInfo("from Yes to the new release's window: %lld ms", sinceYes.elapsed());
  QCOMPARE(InstalledVersion(), QString(NEXT_VERSION));
  QCOMPARE(RunningBindings().size(), 1);
  QTRY_COMPARE_WITH_TIMEOUT(CountRequests(*m_server, "/loaded"), 2, 10000);
  QCOMPARE(LastSignInCookie(), QString::fromStdString("session=" + m_cookie));
  // N+1 found no update due: nothing more was downloaded, and nobody was told.
  QTest::qWait(2000);
  QCOMPARE(CountRequests(*m_server, kInstaller), 1);
  QVERIFY(!QFile::exists(Path("told")));
  QVERIFY(QDir(Prefix()).entryList({".vorla-install-*"}, QDir::Dirs | QDir::Hidden).isEmpty());
}

// A broken installer that the vendor signed all the same, so the updater
// starts it: its own check refuses it before anything is unpacked, the user is
// told, and release N starts again without offering the update once more.
void UpdateCycleTest::damagedInstallerLeavesTheReleaseAsItWas() {
  QByteArray broken = ReadFile(RELEASE_DIR "/vorla-" NEXT_VERSION ".run");
  QVERIFY(broken.size() > 10000);
  broken.replace(broken.size() - 5000, 4, "XXXX");
  m_server->Route(kInstaller, Response{.body = broken.toStdString()});
  PublishSilent(NEXT_VERSION, broken);
  QProcess binding;
  StartInstalled(binding);
  QTRY_VERIFY_WITH_TIMEOUT(ReadFile(Path("told")).contains("损坏"), 60000);
  QVERIFY2(!WaitForWindow(kSignInTitle, {}, 30000).isEmpty(), "release N should start again");
  QTest::qWait(2000);
  QCOMPARE(CountRequests(*m_server, kInstaller), 1);
  QCOMPARE(InstalledVersion(), QString(THIS_VERSION));
  QCOMPARE(RunningBindings().size(), 1);
}

// A silent update whose manifest announces a release newer than its installer
// brings: N+1 is installed and started, offers the same installer once more,
// which refuses it; N+1 then runs, and nothing starts again.
void UpdateCycleTest::manifestNewerThanItsInstallerDoesNotLoop() {
  PublishSilent(LATER_VERSION, ReadFile(RELEASE_DIR "/vorla-" NEXT_VERSION ".run"));
  QProcess binding;
  StartInstalled(binding);
  QTRY_VERIFY_WITH_TIMEOUT(ReadFile(Path("told")).contains("不比它旧"), 90000);
  QVERIFY2(!WaitForWindow(kSignInTitle, {}, 30000).isEmpty(), "release N+1 should run");
  QTest::qWait(3000);
  QCOMPARE(CountRequests(*m_server, kInstaller), 2);
  QCOMPARE(ReadFile(Path("told")).count('\n'), 1);
  QCOMPARE(InstalledVersion(), QString(NEXT_VERSION));
  QCOMPARE(RunningBindings().size(), 1);
}

QTEST_GUILESS_MAIN(UpdateCycleTest)
#include "update_cycle_test.moc"
