#pragma once
// The about box: name and version, copyright, and the plug-ins found in the
// plug-in folder, scanned anew at every opening.
#include <QDialog>

class QLabel;
class QListWidget;

class frmVersion : public QDialog {
    Q_OBJECT
public:
    // Loads the window: fills List1 with the import filters and, when
    // archivePlugins, the archive plug-ins after them.
    explicit frmVersion(QWidget* owner, bool archivePlugins = false);
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QListWidget* List1 = nullptr;
    // The user pressed Esc while the plug-ins were read: not to be shown.
    bool GivenUp() const { return mGivenUp; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool mGivenUp = false;
};
