#pragma once
// The about box: name and version, copyright, and the plug-ins found in the
// plug-in folder, scanned anew at every opening.
#include <QDialog>

class QLabel;
class QListWidget;

class frmVersion : public QDialog {
    Q_OBJECT
public:
    explicit frmVersion(QWidget* owner); // loads the window: fills List1
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QListWidget* List1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
};
