#pragma once
// The main window's menus in as many rows as its width needs: the window is
// narrower than its three menus, and a menu bar that does not fit wraps onto
// another row (as it does on Windows) rather than hiding menus behind an
// overflow button.
#include <QList>
#include <QString>
#include <QWidget>

class QMenu;
class QMenuBar;
class QVBoxLayout;

class MenuRows : public QWidget {
public:
    explicit MenuRows(QWidget* parent = nullptr);

    QMenu* addMenu(const QString& title);
    // Lays the menus out again in rows no wider than width, in order, each
    // row taking as many as fit (at least one).
    void Wrap(int width);

    // The menus' titles in order, as the menu bars hold them.
    QList<QAction*> MenuActions() const;
    const QList<QMenuBar*>& Rows() const { return mRows; }

private:
    QVBoxLayout* mLayout;
    QList<QMenu*> mMenus;
    QList<QMenuBar*> mRows;
};
