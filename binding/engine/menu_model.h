#pragma once

#include <QMenu>
#include <QPointer>

namespace vorla::engine {

// The menu about to be shown for a right click: the engine's own standard menu
// for that case. An empty model shows no menu.
class MenuModel {
 public:
  explicit MenuModel(QMenu* menu) : m_menu(menu) {}
  bool Clear() {
    if (m_menu)
      m_menu->clear();
    return true;
  }
  int GetCount() const { return m_menu ? int(m_menu->actions().size()) : 0; }

 private:
  QPointer<QMenu> m_menu;
};

}  // namespace vorla::engine
