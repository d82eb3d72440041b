// Both programs on a screen that scales by 1 and by 2 (QT_SCALE_FACTOR), under
// Xvfb: every picture they show must be drawn from artwork of the screen's own
// resolution, found pixel for pixel in a screenshot (at 2, NAME@2x.png; a 1x
// bitmap stretched would not match), and the window icons offer the 2x size.

#include <csignal>
#include <cstring>
#include <memory>
#include <optional>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "testsupport/loopback_server.h"
#include "testsupport/xdotool.h"

using vorla::testing::LoopbackServer;
using vorla::testing::Response;
using vorla::testing::WaitForWindow;

namespace {

const QString kBindingTitle = QStringLiteral("Vorla");
const QString kUpgradeTitle = QStringLiteral("升级");

// Where `part` lies pixel for pixel in `whole`; empty when nowhere.
std::optional<QPoint> Find(const QImage& whole, const QImage& part) {
  const int w = part.width();
  const int h = part.height();
  const qsizetype rowBytes = qsizetype(w) * 4;
  // A middle row first: the artwork's top rows are plain white, like the panel.
  const int probe = h / 2;
  for (int y = 0; y + h <= whole.height(); ++y) {
    for (int x = 0; x + w <= whole.width(); ++x) {
      if (memcmp(whole.constScanLine(y + probe) + x * 4, part.constScanLine(probe), rowBytes) != 0)
        continue;
      int row = 0;
      while (row < h && memcmp(whole.constScanLine(y + row) + x * 4, part.constScanLine(row), rowBytes) == 0)
        ++row;
      if (row == h)
        return QPoint(x, y);
    }
  }
  return std::nullopt;
}

QImage Screenshot() {
  QProcess import;
  import.start("import", {"-silent", "-window", "root", "png:-"});
  if (!import.waitForFinished(10000)) {
    import.kill();
    import.waitForFinished(1000);
    return {};
  }
  return QImage::fromData(import.readAllStandardOutput(), "PNG").convertToFormat(QImage::Format_RGB32);
}

// True once `artwork` (a PNG of the source tree) shows on the screen; 10 s at most.
bool Shows(const QString& artwork) {
  const QImage part = QImage(artwork).convertToFormat(QImage::Format_RGB32);
  if (part.isNull())
    return false;
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 10000) {
    if (Find(Screenshot(), part))
      return true;
    QTest::qWait(200);
  }
  return false;
}

// The sizes of the icons `window` offers the window manager (_NET_WM_ICON).
QStringList IconSizes(const QString& window) {
  QProcess xprop;
  // -len: by default xprop leaves out a property as large as a 256-pixel icon.
  xprop.start("xprop", {"-len", "100000000", "-id", window, "_NET_WM_ICON"});
  if (!xprop.waitForFinished(10000))
    xprop.kill();
  QStringList sizes;
  // "Icon (256 x 256):" before each icon's picture.
  static const QRegularExpression kIcon(QStringLiteral("Icon \\((\\d+) x (\\d+)\\)"));
  for (auto match = kIcon.globalMatch(QString::fromLatin1(xprop.readAllStandardOutput())); match.hasNext();) {
    const QRegularExpressionMatch size = match.next();
    sizes << size.captured(1) + "x" + size.captured(2);
  }
  return sizes;
}

}  // namespace

class HiDpiTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void picturesAtScreenResolution_data();
  void picturesAtScreenResolution();

 private:
  QString Path(const QString& relative) const { return m_temp->filePath(relative); }
  void Start(QProcess& process, const QString& program, const QStringList& arguments, const QString& scale);

  std::unique_ptr<QTemporaryDir> m_temp;
  std::unique_ptr<LoopbackServer> m_server;
};

void HiDpiTest::init() {
  m_temp = std::make_unique<QTemporaryDir>();
  QVERIFY(m_temp->isValid());
  for (const char* folder : {"data", "home", "run"})
    QVERIFY(QDir().mkpath(Path(folder)));
  QVERIFY(QFile::setPermissions(Path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  // The check waits on the manifest, so the waiting picture stays; the
  // server's end then fails it, and the failure picture shows.
  m_server = std::make_unique<LoopbackServer>();
  m_server->Route("/pcupdate/update.xml", Response{.stall = true});
}

void HiDpiTest::cleanup() {
  m_server.reset();
  m_temp.reset();
}

void HiDpiTest::Start(QProcess& process, const QString& program, const QStringList& arguments, const QString& scale) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_SCALE_FACTOR", scale);
  environment.insert("http_proxy", QString::fromStdString(m_server->BaseUrl()));
  environment.remove("no_proxy");
  environment.insert("XDG_DATA_HOME", Path("data"));
  environment.insert("HOME", Path("home"));
  environment.insert("XDG_RUNTIME_DIR", Path("run"));
  environment.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
  environment.remove("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
  process.setProcessEnvironment(environment);
  process.setWorkingDirectory(Path("home"));
  process.start(program, arguments);
  QVERIFY(process.waitForStarted(10000));
}

void HiDpiTest::picturesAtScreenResolution_data() {
  QTest::addColumn<QString>("scale");
  QTest::addColumn<QString>("suffix");
  QTest::addColumn<QString>("iconSize");
  QTest::newRow("1") << "1" << "" << "128x128";
  QTest::newRow("2") << "2" << "@2x" << "256x256";
}

void HiDpiTest::picturesAtScreenResolution() {
  QFETCH(QString, scale);
  QFETCH(QString, suffix);
  QFETCH(QString, iconSize);

  // The updater's banner, while it waits for the manifest.
  {
    QProcess upgrade;
    Start(upgrade, UPGRADE_PROGRAM, {"-vorla"}, scale);
    const QString window = WaitForWindow(kUpgradeTitle);
    QVERIFY2(!window.isEmpty(), upgrade.readAllStandardError().constData());
    QVERIFY2(Shows(SOURCE_DIR "/upgrade/resources/banner" + suffix + ".png"), "the banner is not drawn from its own artwork");
    QVERIFY2(IconSizes(window).contains(iconSize), qPrintable(IconSizes(window).join(' ')));
    upgrade.kill();
    QVERIFY(upgrade.waitForFinished(10000));
  }

  // The panel's pictures: waiting during the check, the failure after it.
  QProcess binding;
  Start(binding, BINDING_PROGRAM, {}, scale);
  const QString window = WaitForWindow(kBindingTitle, {}, 30000);
  QVERIFY2(!window.isEmpty(), binding.readAllStandardError().constData());
  QVERIFY2(Shows(SOURCE_DIR "/binding/resources/waiting" + suffix + ".png"), "the waiting picture is not drawn from its own artwork");
  QVERIFY2(IconSizes(window).contains(iconSize), qPrintable(IconSizes(window).join(' ')));
  m_server->Stop();
  QVERIFY2(Shows(SOURCE_DIR "/binding/resources/failure" + suffix + ".png"), "the failure picture is not drawn from its own artwork");
  ::kill(pid_t(binding.processId()), SIGTERM);
  QVERIFY(binding.waitForFinished(15000));
  QCOMPARE(binding.exitCode(), 0);
}

QTEST_GUILESS_MAIN(HiDpiTest)
#include "hidpi_test.moc"
