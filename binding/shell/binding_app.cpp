#include "shell/binding_app.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QString>

#include "client/web_app.h"
#include "client/web_client.h"
#include "desktop/desktop_notifications.h"
#include "desktop/launcher_count.h"
#include "engine/engine.h"
#include "manifest/curl_handles.h"
#include "platform/platform.h"
#include "shell/binding_dlg.h"
#include "shell/process_signals.h"
#include "shell/single_instance.h"
#include "updatecheck/cache_purge.h"
#include "vorla/build_config.h"

namespace {

const char kCaption[] = "Vorla";
const char kEngineFailed[] = "无法启动浏览器引擎，Vorla 无法运行。";
const char kWindowFailed[] = "无法创建 Vorla 的主窗口。";
const char kNoAnswer[] = "Vorla 已在运行，但没有响应。";
const char kNoDataFolder[] = "找不到用户数据文件夹（XDG_DATA_HOME 和 HOME 均未设置），Vorla 无法保存登录状态和缓存。";
const char kCacheFolder[] = "/cache/";
const char kNoSandbox[] = "系统不提供浏览器引擎的沙箱（无法创建用户命名空间），网页将在没有沙箱的情况下运行。";

constexpr int kStartFailed = 1;
// The scheme is this executable's build setting.
constexpr char kServiceScheme[] = VORLA_SERVICE_SCHEME;

// On the terminal always; in a window too once the application object exists.
void ShowStartupError(const char* text) {
  std::fprintf(stderr, "binding: %s\n", text);
  if (qApp)
    QMessageBox::critical(nullptr, QString::fromLatin1(kCaption), QString::fromUtf8(text));
}

// The engine's sandbox here rests on unprivileged user namespaces alone: Qt
// WebEngine turns Chromium's setuid helper off. Some systems forbid them.
bool UserNamespacesAvailable() {
  // Tried in a child that ends at once, before any thread of ours exists.
  const pid_t child = fork();
  if (child < 0)
    return false;
  if (child == 0)
    _exit(unshare(CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET) == 0 ? 0 : 1);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int CbindingApp::InitInstance(int argc, char** argv) {
  vorla::engine::RefPtr<CWebApp> application(new CWebApp);
  // First, in every process: the engine starts copies of this program for its
  // own roles, and such a copy must touch no window, setting or data folder.
  if (vorla::engine::ExecuteProcess(argc, argv, application) >= 0)
    return 0;
  ProcessSignals::IgnoreUntilHandled();

  // A second start on the same data folder hands over before anything touches
  // that folder or starts the engine. The lock is held until the engine has
  // written its files.
  const std::filesystem::path dataFolder = vorla::platform::DataFolder();
  SingleInstance instance(dataFolder);
  switch (instance.Acquire()) {
    case SingleInstance::Role::kFirst:
      break;
    case SingleInstance::Role::kHandedOver:
      return 0;
    case SingleInstance::Role::kNoAnswer:
      ShowStartupError(kNoAnswer);
      return kStartFailed;
  }

  // Before any thread starts. A failure here shows later as the check's
  // network failure in the window.
  vorla::InitializeCurl();

  // Told to run without the GPU, the engine composites in software; the
  // window's scene graph then does too, and no OpenGL driver is loaded at all
  // (a software one, where it is all there is, costs tens of MiB).
  if (qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS").split(QLatin1Char(' ')).contains(QLatin1String("--disable-gpu")) &&
      qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") && qEnvironmentVariableIsEmpty("QT_XCB_GL_INTEGRATION")) {
    qputenv("QT_QUICK_BACKEND", "software");
    qputenv("QT_XCB_GL_INTEGRATION", "none");
  }

#ifndef VORLA_NO_WEB_ACCESSIBILITY
  // Qt WebEngine leaves web content out of the accessibility tree unless asked
  // before it starts; the tree is built only when assistive technology asks.
  qputenv("QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY", "1");
#endif

  // Before the first window: a Wayland shell finds the desktop entry by it (the
  // icon, the launcher the windows group with).
  QGuiApplication::setDesktopFileName(QString::fromLatin1(vorla::build::kDesktopFileName));

  vorla::engine::Settings settings;
  // Chromium refuses its sandbox to root; anyone else keeps it where it can run.
  const bool root = geteuid() == 0;
  settings.noSandbox = root || !UserNamespacesAvailable();
  if (settings.noSandbox && !root)
    std::fprintf(stderr, "binding: %s\n", kNoSandbox);
  settings.multiThreadedMessageLoop = false;
  if (!dataFolder.empty())
    settings.cachePath = QString::fromStdString(dataFolder.string()) + QLatin1String(kCacheFolder);
  // The service's pages on plain HTTP are no secure context, and the engine
  // offers them no notifications: its own origin, and no other, is made one.
  if (QLatin1String(kServiceScheme) == QLatin1String("http"))
    settings.secureOrigins << QStringLiteral("http://") + QString::fromLatin1(vorla::build::kServiceHost);
  int qtArgc = argc;
  if (!vorla::engine::Initialize(qtArgc, argv, settings, application)) {
    ShowStartupError(kEngineFailed);
    return kStartFailed;
  }
  // A cache and cookies relative to the working folder would sign the user out
  // at every start from elsewhere and litter that folder.
  if (dataFolder.empty()) {
    ShowStartupError(kNoDataFolder);
    vorla::engine::Shutdown();
    return kStartFailed;
  }

  // The client outlives the window: the engine's browsers hold it until they
  // have closed, and it is released only after the engine's shut-down.
  CbindingDlg::ClientSlot client;
  int status = 0;
  {
    // The window deletes itself when it goes; the pointer tells whether it has.
    QPointer<CbindingDlg> dlg = new CbindingDlg(QString::fromStdString(dataFolder.string()), client);
    dlg->showMaximized();
    if (!dlg->windowHandle() || !dlg->isVisible()) {
      delete dlg.data();
      ShowStartupError(kWindowFailed);
      status = kStartFailed;
    } else {
      instance.Listen(dlg);
      ProcessSignals processSignals(dlg);
      DesktopNotifications notifications(dlg);
      vorla::engine::SetNotificationHandler(&notifications);
      new LauncherCount(dlg);
      vorla::engine::RunMessageLoop();
      vorla::engine::SetNotificationHandler(nullptr);
    }
    // Every widget must be gone before the engine takes the application object.
    delete dlg.data();
  }
  vorla::engine::Shutdown();
  vorla::FinishOldCacheSweeps();  // bounded: what is left goes at the next start
  client = nullptr;
  application = nullptr;
  return status;
}
