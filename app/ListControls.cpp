#include "app/ListControls.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QStyle>
#include <QToolTip>

#include <algorithm>

#include "common/CodePage.h"
#include "platform/DirSearch.h"
#include "platform/Drives.h"

DriveListBox::DriveListBox(QWidget* parent) : QComboBox(parent)
{
    addItems(Drives());
    connect(this, &QComboBox::currentIndexChanged, this, &DriveListBox::Change);
}

QString DriveListBox::Drive() const { return currentText(); }

void DriveListBox::SetDrive(const QString& path)
{
    const QString drive = DriveOfPath(path);
    const QStringList drives = Drives();
    QStringList shown;
    for (int i = 0; i < count(); ++i)
        shown.append(itemText(i));
    if (shown != drives) {
        const QSignalBlocker quiet(this);
        const QString selected = currentText();
        clear();
        addItems(drives);
        setCurrentIndex(std::max(0, int(drives.indexOf(selected))));
    }
    setCurrentIndex(std::max(0, int(drives.indexOf(drive))));
}

namespace {

// A folder's subfolders in name order, links to folders included.
QStringList SubFolders(const QString& folder)
{
    QStringList names;
    FindData data{};
    const QByteArray pattern = ToCodePage((folder.endsWith(u'/') ? folder : folder + u'/') + "*");
    const FindHandle handle = FindFirstFileA(pattern.constData(), &data);
    if (handle == INVALID_FIND_HANDLE)
        return names;
    do {
        const QString name = FromCodePage(QByteArrayView(data.cFileName, qsizetype(strnlen(data.cFileName, sizeof data.cFileName))));
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != "." && name != "..")
            names.append(name);
    } while (FindNextFileA(handle, &data));
    FindClose(handle);
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

QString Join(const QString& folder, const QString& name)
{
    return (folder.endsWith(u'/') ? folder : folder + u'/') + name;
}

} // namespace

DirListBox::DirListBox(QWidget* parent) : QListWidget(parent)
{
    connect(this, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { SetPath(item->data(Qt::UserRole).toString()); });
}

bool DirListBox::SetPath(const QString& folder)
{
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder))
        return false;
    // Asked with the name's own bytes: a name that is not UTF-8 (code page
    // 932 from an old disk) is carried in the system code page's form.
    const QByteArray bytes = ToCodePage(folder);
    struct stat st {};
    if (::stat(bytes.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(bytes.constData(), R_OK | X_OK) != 0)
        return false;
    // The opened folder as its components name it, without "." or "..".
    QString path = QDir::cleanPath(folder);
    mPath = path;
    mCurrentFolders[DriveOfPath(path)] = path;

    clear();
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
    QStringList parts = path.split(u'/', Qt::SkipEmptyParts);
    QString at = QStringLiteral("/");
    auto* root = new QListWidgetItem(openIcon, QStringLiteral("/"), this);
    root->setData(Qt::UserRole, at);
    int depth = 1;
    for (const QString& part : parts) {
        at = Join(at, part);
        auto* item = new QListWidgetItem(openIcon, QString(depth * 2, u' ') + part, this);
        item->setData(Qt::UserRole, at);
        ++depth;
    }
    const int openedRow = count() - 1;
    for (const QString& name : SubFolders(path)) {
        auto* item = new QListWidgetItem(closedIcon, QString(depth * 2, u' ') + name, this);
        item->setData(Qt::UserRole, Join(path, name));
    }
    setCurrentRow(openedRow);
    return true;
}

bool DirListBox::OpenDrive(const QString& drive)
{
    if (!DriveReady(drive))
        return false;
    const QString current = mCurrentFolders.value(drive, drive);
    return SetPath(current) || SetPath(drive);
}

QString DirListBox::HighlightedPath() const
{
    return currentRow() >= 0 ? EntryPath(currentRow()) : mPath;
}

QString DirListBox::EntryPath(int row) const
{
    const QListWidgetItem* entry = item(row);
    return entry ? entry->data(Qt::UserRole).toString() : QString();
}

void DirListBox::keyPressEvent(QKeyEvent* event)
{
    if (!event->text().isEmpty())
        emit KeyPress();
    QListWidget::keyPressEvent(event);
}

bool DirListBox::viewportEvent(QEvent* event)
{
    if (event->type() != QEvent::ToolTip)
        return QListWidget::viewportEvent(event);
    const auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = indexAt(help->pos());
    const QRect shown = visualRect(index);
    if (!index.isValid() || shown.left() + sizeHintForIndex(index).width() <= viewport()->width()) {
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    const QString path = index.data(Qt::UserRole).toString();
    const QString name = path == QStringLiteral("/") ? path : path.section(u'/', -1);
    QToolTip::showText(help->globalPos(), name, viewport(), shown);
    return true;
}
