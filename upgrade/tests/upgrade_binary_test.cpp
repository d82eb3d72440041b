#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

#include <unistd.h>

#include "testsupport/loopback_server.h"
#include "testsupport/update_signing.h"
#include "testsupport/xdotool.h"

using vorla::testing::LoopbackServer;
using vorla::testing::Response;
using vorla::testing::SignUpdate;
using vorla::testing::Xdotool;

namespace {

// No sanitizer report on the way out (the asan build runs these tests too).
bool CleanExit(QProcess& process) {
  const QByteArray errors = process.readAllStandardError();
  if (errors.contains("ERROR: AddressSanitizer") || errors.contains("ERROR: LeakSanitizer") ||
      errors.contains("runtime error:")) {
    qWarning("%s", errors.constData());
    return false;
  }
  return true;
}

// The first visible window with exactly this title, or empty after `timeoutMs`.
QString FindWindow(const QString& title, int timeoutMs) {
  return Xdotool({"search", "--sync", "--onlyvisible", "--name", "^" + title + "$"}, timeoutMs).section('\n', 0, 0);
}

std::string Sha256Hex(const std::string& data) {
  return QCryptographicHash::hash(QByteArray::fromStdString(data), QCryptographicHash::Sha256).toHex().toStdString();
}

// Focuses the window and types `key` into it, as a user at the keyboard.
void TypeInto(const QString& window, const QString& key) {
  Xdotool({"windowfocus", "--sync", window});
  Xdotool({"key", key});
}

}  // namespace

// The real updater program, driven from outside.
class UpgradeBinaryTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void withoutTheFlagEndsSilently_data();
  void withoutTheFlagEndsSilently();
  void updatesEndToEnd_data();
  void updatesEndToEnd();
  void quitByKeyboardMidDownload();
  void onlySignedReleasesStart_data();
  void onlySignedReleasesStart();

 private:
  QProcessEnvironment Environment() const;

  std::unique_ptr<LoopbackServer> m_server;
  std::unique_ptr<QTemporaryDir> m_temp;
};

void UpgradeBinaryTest::init() {
  m_server = std::make_unique<LoopbackServer>();
  m_temp = std::make_unique<QTemporaryDir>();
  QVERIFY(m_temp->isValid());
}

void UpgradeBinaryTest::cleanup() {
  m_server.reset();
  m_temp.reset();
}

QProcessEnvironment UpgradeBinaryTest::Environment() const {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("http_proxy", QString::fromStdString(m_server->BaseUrl()));
  environment.remove("no_proxy");
  environment.insert("TMPDIR", m_temp->path());
  environment.remove("XDG_RUNTIME_DIR");
  return environment;
}

void UpgradeBinaryTest::withoutTheFlagEndsSilently_data() {
  QTest::addColumn<QStringList>("arguments");
  QTest::newRow("no arguments") << QStringList{};
  QTest::newRow("capital letters") << QStringList{"-VORLA"};
  QTest::newRow("split") << QStringList{"-vor", "la"};
}

void UpgradeBinaryTest::withoutTheFlagEndsSilently() {
  QFETCH(QStringList, arguments);
  m_server->Route("/pcupdate/update.xml", Response{.stall = true});
  QProcess process;
  process.setProcessEnvironment(Environment());
  process.start(UPGRADE_PROGRAM, arguments);
  QVERIFY(process.waitForFinished(10000));
  QCOMPARE(process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(process.exitCode(), 0);
  QCOMPARE(m_server->RequestCount(), size_t(0));  // no window, so no worker
}

void UpgradeBinaryTest::updatesEndToEnd_data() {
  QTest::addColumn<QStringList>("arguments");
  QTest::newRow("the flag") << QStringList{"-vorla"};
  QTest::newRow("inside a longer word") << QStringList{"x-vorlax", "other"};
}

void UpgradeBinaryTest::updatesEndToEnd() {
  QFETCH(QStringList, arguments);
  const QString marker = m_temp->filePath("installer-ran");
  const std::string installer = "#!/bin/sh\necho \"$# $(ps -o sid= -p $$)\" > '" + marker.toStdString() + "'\n";
  m_server->Route("/pcupdate/update.xml",
                  Response{.body = "<update><url>http://www.vorla.example/dl/setup.bin</url></update>"});
  m_server->Route("/dl/setup.bin", Response{.body = installer});

  QProcess process;
  process.setProcessEnvironment(Environment());
  process.start(UPGRADE_PROGRAM, arguments);
  QVERIFY(process.waitForStarted(10000));
  QVERIFY2(process.waitForFinished(30000), "the window should close by itself");
  QCOMPARE(process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(process.exitCode(), 0);
  QCOMPARE(m_server->RequestCount(), size_t(2));
  QVERIFY(CleanExit(process));

  QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker) && QFileInfo(marker).size() > 0, 10000);
  QFile file(marker);
  QVERIFY(file.open(QIODevice::ReadOnly));
  const QList<QByteArray> fields = file.readAll().simplified().split(' ');
  QCOMPARE(fields.value(0), QByteArray("0"));                                  // no arguments
  QVERIFY(fields.value(1).toLongLong() != static_cast<long long>(getsid(0)));  // a session of its own
}


// As a user quits: Esc in the window, Enter on the question (Yes is its
// default), while the installer transfer is stalled.
void UpgradeBinaryTest::quitByKeyboardMidDownload() {
  const QString marker = m_temp->filePath("installer-ran");
  m_server->Route("/pcupdate/update.xml",
                  Response{.body = "<update><url>http://www.vorla.example/dl/setup.bin</url></update>"});
  m_server->Route("/dl/setup.bin", Response{.headers = {{"Content-Length", "1000000"}},
                                            .body = "#!/bin/sh\ntouch '" + marker.toStdString() + "'\n",
                                            .stallAfterHeaders = true});
  QProcess process;
  process.setProcessEnvironment(Environment());
  process.start(UPGRADE_PROGRAM, {"-vorla"});
  QVERIFY(process.waitForStarted(10000));
  QVERIFY(m_server->WaitForRequests(2, 10000));

  const QString window = FindWindow(QStringLiteral("升级"), 10000);
  QVERIFY(!window.isEmpty());
  // A key typed while the window is still being mapped can be lost: type
  // again until the question shows, a few times at most.
  QString question;
  for (int attempt = 0; attempt < 5 && question.isEmpty(); ++attempt) {
    TypeInto(window, "Escape");
    question = FindWindow(QStringLiteral("Vorla"), 2000);
  }
  QVERIFY(!question.isEmpty());
  TypeInto(question, "Return");
  QVERIFY2(process.waitForFinished(5000), "quitting should end the program promptly");
  QCOMPARE(process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(process.exitCode(), 0);
  QVERIFY(!QFile::exists(marker));
  QVERIFY(CleanExit(process));
}

// What the manifest says of the installer, before the row changes it.
struct Release {
  std::string version, digest, signature;
};
using Tamper = std::function<void(Release&, const QString& otherKey)>;
Q_DECLARE_METATYPE(Tamper)

void UpgradeBinaryTest::onlySignedReleasesStart_data() {
  QTest::addColumn<QString>("program");
  QTest::addColumn<Tamper>("tamper");
  QTest::addColumn<bool>("fetched");  // the installer is downloaded
  QTest::addColumn<bool>("starts");
  const QString signedProgram = SIGNED_UPGRADE_PROGRAM;
  QTest::newRow("signed release") << signedProgram << Tamper([](Release&, const QString&) {}) << true << true;
  QTest::newRow("no signature") << signedProgram << Tamper([](Release& r, const QString&) { r.signature.clear(); })
                                << false << false;
  QTest::newRow("malformed base64") << signedProgram << Tamper([](Release& r, const QString&) {
    r.signature[10] = '*';
  }) << false << false;
  QTest::newRow("another key's signature") << signedProgram << Tamper([](Release& r, const QString& otherKey) {
    r.signature = SignUpdate(otherKey, r.version, r.digest);
  }) << false << false;
  QTest::newRow("version changed after signing") << signedProgram << Tamper([](Release& r, const QString&) {
    r.version = "9.0.0.0";
  }) << false << false;
  QTest::newRow("sha256 changed after signing") << signedProgram << Tamper([](Release& r, const QString&) {
    r.digest[0] = r.digest[0] == 'a' ? 'b' : 'a';
  }) << false << false;
  // Signed once, served again: only a release newer than the program starts.
  QTest::newRow("signed, this program's version") << signedProgram << Tamper([](Release& r, const QString&) {
    r.version = THIS_VERSION;
    r.signature = SignUpdate(TEST_KEY, r.version, r.digest);
  }) << false << false;
  QTest::newRow("signed, an older version") << signedProgram << Tamper([](Release& r, const QString&) {
    r.version = "1.0.0.0";
    r.signature = SignUpdate(TEST_KEY, r.version, r.digest);
  }) << false << false;
  QTest::newRow("no sha256") << signedProgram << Tamper([](Release& r, const QString&) { r.digest.clear(); })
                             << false << false;
  // Signed, so only the download itself tells: a digest that differs from the
  // file's in its last byte alone.
  QTest::newRow("digest differs in its last byte") << signedProgram << Tamper([](Release& r, const QString&) {
    r.digest.back() = r.digest.back() == '0' ? '1' : '0';
    r.signature = SignUpdate(TEST_KEY, r.version, r.digest);
  }) << true << false;
  QTest::newRow("unsigned release, built without a key") << QString(UPGRADE_PROGRAM)
                                                          << Tamper([](Release& r, const QString&) {
                                                               r.signature.clear();
                                                             }) << true << true;
}

// The real updater built with a key trusts that key's releases only; each
// refusal starts nothing, leaves no file and shows the download failure.
void UpgradeBinaryTest::onlySignedReleasesStart() {
  QFETCH(QString, program);
  QFETCH(Tamper, tamper);
  QFETCH(bool, fetched);
  QFETCH(bool, starts);
  const QString marker = m_temp->filePath("installer-ran");
  const std::string installer = "#!/bin/sh\ntouch '" + marker.toStdString() + "'\n";
  const QString otherKey = m_temp->filePath("other-key.pem");
  QProcess::execute("openssl", {"genpkey", "-algorithm", "ed25519", "-out", otherKey});

  Release release{"3.0.1.0", Sha256Hex(installer), {}};
  release.signature = SignUpdate(TEST_KEY, release.version, release.digest);
  tamper(release, otherKey);
  std::string manifest = "<update><version>" + release.version + "</version><url>http://www.vorla.example/dl/setup.bin</url>";
  if (!release.digest.empty())
    manifest += "<sha256>" + release.digest + "</sha256>";
  if (!release.signature.empty())
    manifest += "<signature>" + release.signature + "</signature>";
  m_server->Route("/pcupdate/update.xml", Response{.body = manifest + "</update>"});
  m_server->Route("/dl/setup.bin", Response{.body = installer});

  QProcess process;
  process.setProcessEnvironment(Environment());
  process.start(program, {"-vorla"});
  QVERIFY(process.waitForStarted(10000));
  if (starts) {
    QVERIFY2(process.waitForFinished(30000), "the window should close by itself");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 10000);
    // A build without a key says what it starts unchecked.
    QCOMPARE(process.readAllStandardError().contains("starting an installer nobody signed"),
             program == UPGRADE_PROGRAM);
  } else {
    // The failure stays in the window until the user closes it.
    QVERIFY(m_server->WaitForRequests(fetched ? 2 : 1, 10000));
    QTest::qWait(1500);
    QCOMPARE(process.state(), QProcess::Running);
    QVERIFY2(QDir(m_temp->path()).entryList({"vorla-*"}, QDir::Dirs).isEmpty(), "a refused installer must be removed");
    QVERIFY(!QFile::exists(marker));
    process.kill();
    process.waitForFinished(5000);
  }
  QCOMPARE(m_server->RequestCount(), size_t(fetched ? 2 : 1));
}

QTEST_GUILESS_MAIN(UpgradeBinaryTest)
#include "upgrade_binary_test.moc"
