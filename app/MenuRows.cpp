#include "app/MenuRows.h"

#include <QMenu>
#include <QMenuBar>
#include <QVBoxLayout>

MenuRows::MenuRows(QWidget* parent) : QWidget(parent), mLayout(new QVBoxLayout(this))
{
    mLayout->setContentsMargins(0, 0, 0, 0);
    mLayout->setSpacing(0);
}

QMenu* MenuRows::addMenu(const QString& title)
{
    auto* menu = new QMenu(title, this);
    mMenus << menu;
    return menu;
}

void MenuRows::Wrap(int width)
{
    for (QMenuBar* row : std::as_const(mRows))
        delete row;
    mRows.clear();
    QMenuBar* row = nullptr;
    for (QMenu* menu : std::as_const(mMenus)) {
        if (row) {
            row->addMenu(menu);
            if (row->sizeHint().width() <= width)
                continue;
            row->removeAction(menu->menuAction());
        }
        row = new QMenuBar(this);
        // Within the window on every desktop, where the rows are seen.
        row->setNativeMenuBar(false);
        row->addMenu(menu);
        mLayout->addWidget(row);
        mRows << row;
    }
}

QList<QAction*> MenuRows::MenuActions() const
{
    QList<QAction*> actions;
    for (const QMenuBar* row : mRows)
        actions << row->actions();
    return actions;
}
