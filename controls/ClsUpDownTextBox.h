#pragma once
// Turns a single-line text box into a bounded number field: an up-down
// control at its right edge, and every change of its text checked, text that
// is not a number within the bounds replaced by the last accepted text.
#include <cstdint>

#include <QObject>
#include <QPointer>
#include <QString>

#include "platform/UpDownControl.h"

class QLineEdit;

class ClsUpDownTextBox : public QObject {
    Q_OBJECT
public:
    ClsUpDownTextBox() = default;
    ~ClsUpDownTextBox() override; // destroys the up-down control

    void CreateUpDown(QLineEdit* tTextBox, std::int32_t Max, std::int32_t Min, std::int32_t Pos);

    HWND UpDownWindow() const { return mUpDownWnd; }

private:
    void mTextBox_Change();

    QPointer<QLineEdit> mTextBox;
    HWND mUpDownWnd = nullptr;
    std::int32_t mMax = 0;
    std::int32_t mMin = 0;
    QString mLastText;
};
