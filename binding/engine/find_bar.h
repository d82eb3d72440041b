#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QLineEdit;
class QWebEngineFindTextResult;
class QWebEngineView;

namespace vorla::engine {

// The find bar at the bottom of a browser's view: finds as the user types,
// shows the active match and the count ("2/7") the engine reports, Enter and
// F3 go to the next match, with Shift to the previous, Escape closes it and
// clears the highlight. Main thread only; a child of the widget that holds its
// view, or of the view where the view is a window of its own.
// Cancel by lifetime: its view is a QPointer.
class FindBar final : public QWidget {
 public:
  explicit FindBar(QWebEngineView* view);

  // Shows the bar with its field focused and its text selected.
  void Open();
  void Close();
  void FindNext(bool backward);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Find(bool backward);
  void OnFindTextFinished(const QWebEngineFindTextResult& result);
  void ShowCount(const QString& count);
  void PlaceInView();

  // The bar goes with its view; a click it still gets meanwhile does nothing.
  const QPointer<QWebEngineView> m_view;
  QLineEdit* m_field;
  QLabel* m_count;
};

}  // namespace vorla::engine
