#pragma once

#include <functional>
#include <vector>

#include <QObject>
#include <QPointer>

class QPrintDialog;
class QPrinter;
class QWebEngineView;

namespace vorla::engine {

// window.print() of one browser's page: Qt's print dialog, owned by the window
// that shows the page, then the page as the engine lays it out for print into
// the printer chosen, without blocking any window. One dialog at a time; a
// failed print is told in a message box. Main thread only; a child of its
// view, so it goes with it.
class PagePrinter final : public QObject {
 public:
  // Not `ready`: the page prints nothing until SetReady (a new pop-up's page
  // is being made ready by a print of the engine layer's own).
  PagePrinter(QWebEngineView* view, bool ready);
  ~PagePrinter() override;

  void SetReady();
  // False when no print is asked for, in its dialog or printing; otherwise
  // `then` runs once that is over, and true.
  bool Defer(std::function<void()> then);

 private:
  void OnPrintRequested();
  void ShowDialog();
  void OnAnswered(int result);
  void OnPrinted(bool success);

  QWebEngineView* const m_view;
  bool m_ready;
  // Asked while not ready or while printing: the dialog opens afterwards.
  bool m_requested = false;
  QPointer<QPrintDialog> m_dialog;
  QPrinter* m_printer = nullptr;
  bool m_printing = false;
  std::vector<std::function<void()>> m_deferred;
};

}  // namespace vorla::engine
