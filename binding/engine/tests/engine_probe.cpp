// engine_probe: one run of the engine as binding uses it, driven by tests.
//
//   engine_probe CACHE_FOLDER COOKIE_FOLDER URL QUIT_AFTER_MS
//
// Shows URL in a child browser of a plain window; QUIT_AFTER_MS after the page
// has loaded it prints the page's title and closes the window, and the loop
// ends when the browser has closed. Exit status 0 after a clean shut-down.

#include <cstdio>
#include <cstdlib>

#include <QTimer>
#include <QWidget>

#include "engine/engine.h"

namespace {

using namespace vorla::engine;

class ProbeClient : public Client, public DisplayHandler, public LifeSpanHandler, public LoadHandler {
 public:
  ProbeClient(QWidget* window, int quitAfterMs) : m_window(window), m_quitAfterMs(quitAfterMs) {}
  DisplayHandler* GetDisplayHandler() override { return this; }
  LifeSpanHandler* GetLifeSpanHandler() override { return this; }
  LoadHandler* GetLoadHandler() override { return this; }

  void OnTitleChange(RefPtr<Browser>, const QString& title) override { m_window->setWindowTitle(title); }
  void OnAfterCreated(RefPtr<Browser> browser) override { m_browser = browser; }
  void OnBeforeClose(RefPtr<Browser>) override {
    m_browser = nullptr;
    QuitMessageLoop();
  }
  void OnLoadEnd(RefPtr<Browser>, RefPtr<Frame>, int) override {
    if (m_done)
      return;
    m_done = true;
    QTimer::singleShot(m_quitAfterMs, m_window, [this] {
      std::printf("title=%s\n", qPrintable(m_window->windowTitle()));
      std::fflush(stdout);
      m_window->deleteLater();
    });
  }

 private:
  QWidget* m_window;
  int m_quitAfterMs;
  bool m_done = false;
  RefPtr<Browser> m_browser;
};

}  // namespace

int main(int argc, char** argv) {
  const int processResult = ExecuteProcess(argc, argv, nullptr);
  if (processResult >= 0)
    return processResult;
  if (argc != 5) {
    std::fprintf(stderr, "usage: engine_probe CACHE_FOLDER COOKIE_FOLDER URL QUIT_AFTER_MS\n");
    return 2;
  }
  Settings settings;
  settings.noSandbox = true;
  settings.cachePath = QString::fromLocal8Bit(argv[1]);
  if (!Initialize(argc, argv, settings, nullptr))
    return 3;
  SetCookieStoragePath(QString::fromLocal8Bit(argv[2]), true);
  auto* window = new QWidget;
  window->resize(800, 600);
  window->show();
  RefPtr<ProbeClient> client(new ProbeClient(window, std::atoi(argv[4])));
  CreateBrowser(window, QRect(0, 0, 800, 600), client, QUrl(QString::fromLocal8Bit(argv[3])));
  RunMessageLoop();
  Shutdown();
  return 0;
}
