#include "upgrade/upgrade_app.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <QApplication>
#include <QMessageBox>

#include "manifest/curl_handles.h"
#include "platform/platform.h"
#include "upgrade/upgrade_dlg.h"
#include "vorla/build_config.h"

namespace {

const char kInstallDirVariable[] = "VORLA_INSTALL_DIR";

// The command line as one text, the program's own path included: "-vorla" is
// looked for anywhere in it, case-sensitively, so "x-vorlax" passes and
// "-VORLA" does not.
bool HasUpgradeFlag(int argc, char** argv) {
  std::string commandLine;
  for (int i = 0; i < argc; ++i) {
    if (i > 0)
      commandLine += ' ';
    commandLine += argv[i];
  }
  return commandLine.find("-vorla") != std::string::npos;
}

}  // namespace

int CupgradeApp::InitInstance(int argc, char** argv) {
  // A file-size limit must fail the write of a chunk, not kill the updater.
  std::signal(SIGXFSZ, SIG_IGN);
  // The updater is part of the same application: a Wayland shell shows its
  // window with the entry's icon and groups it with binding's.
  QGuiApplication::setDesktopFileName(QString::fromLatin1(vorla::build::kDesktopFileName));

  if (!vorla::InitializeCurl()) {
    QApplication app(argc, argv);
    QMessageBox::warning(nullptr, QStringLiteral("upgrade"), QStringLiteral("Windows 套接字初始化失败。"));
    return 0;
  }
  // Checked before any window system is touched: without the flag the program
  // ends silently, also where no display is available.
  if (!HasUpgradeFlag(argc, argv))
    return 0;

  // The installer updates the installation it came from: this program's
  // folder, told in the environment, since it is started without arguments.
  const std::filesystem::path folder = vorla::platform::ExecutableFolder();
  if (!folder.empty())
    setenv(kInstallDirVariable, folder.c_str(), 1);

  QApplication app(argc, argv);
  {
    CupgradeDlg dlg;
    dlg.exec();
    dlg.WaitForWorker();
  }
  return 0;
}
