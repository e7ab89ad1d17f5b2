#include "app/frmVersion.h"

#include <QLabel>
#include <QListWidget>

#include "common/AppPaths.h"
#include "common/PathText.h"
#include "pluginhost/ClsArchivePluginManager.h"
#include "pluginhost/ClsPluginManager.h"
#include "pluginhost/PluginBridge.h"

frmVersion::frmVersion(QWidget* owner, bool archivePlugins)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("バージョン情報"));
    setFixedSize(5445 / 15, 3090 / 15);
    // The texts keep off the window's edges.
    constexpr int kMargin = 8;
    if (owner)
        setWindowIcon(owner->windowIcon());

    Label1 = new QLabel(QStringLiteral("Velmora\u3000Ver1.10"), this);
    Label1->setGeometry(kMargin, 240 / 15, 5415 / 15 - kMargin, 495 / 15);
    QFont title;
    title.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"),
                       QStringLiteral("Noto Sans CJK JP")});
    title.setPointSizeF(21.75);
    title.setWeight(QFont::Normal);
    Label1->setFont(title);
    Label2 = new QLabel(QStringLiteral("Copyright (C) 2026 Velmora developers"), this);
    Label2->setGeometry(kMargin, 840 / 15, 5295 / 15 - kMargin, 255 / 15);
    List1 = new QListWidget(this);
    List1->setGeometry(kMargin, 1200 / 15, width() - 2 * kMargin, 1860 / 15);
    // A long about text wraps instead of hiding behind a scroll bar.
    List1->setWordWrap(true);
    List1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    List1->setResizeMode(QListView::Adjust);

    ClsPluginManager manager;
    ClsArchivePluginManager archives;
    // Esc while a plug-in keeps the list waiting: no about box.
    PluginBridge::EscapeScope wait;
    for (const QString& folder : PluginFolders())
        manager.Initialize(folder);
    // Archive plug-ins are loaded only when archives are shown.
    if (archivePlugins)
        for (const QString& folder : PluginFolders())
            archives.Initialize(folder);
    mGivenUp = wait.Escaped();
    // A Windows plug-in's line names the wine that runs it, unless it is
    // Debian's own.
    const auto line = [](const QString& path, const QString& about) {
        const QString wine = PluginBridge::WineOf(path);
        return FileNameOfPath(path) + QStringLiteral(" : ") + about +
               (wine.isEmpty() ? QString() : QStringLiteral(" (wine: ") + wine + u')');
    };
    for (std::int32_t i = 0; i <= manager.PluginCount(); ++i)
        List1->addItem(line(manager.PluginName(i), manager.AboutPlugin(i)));
    for (std::int32_t i = 0; i <= archives.PluginCount(); ++i)
        List1->addItem(line(archives.PluginName(i), archives.AboutPlugin(i)));
}

void frmVersion::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (QWidget* owner = parentWidget())
        move(owner->frameGeometry().center() - QRect(QPoint(), frameGeometry().size()).center());
}
