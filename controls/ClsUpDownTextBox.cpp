#include "controls/ClsUpDownTextBox.h"

#include <QLineEdit>

#include "platform/MessageBox.h"
#include "platform/NumberRules.h"

ClsUpDownTextBox::~ClsUpDownTextBox()
{
    DestroyWindow(mUpDownWnd);
}

void ClsUpDownTextBox::CreateUpDown(QLineEdit* tTextBox, std::int32_t Max, std::int32_t Min, std::int32_t Pos)
{
    mTextBox = tTextBox;
    connect(tTextBox, &QLineEdit::textChanged, this, &ClsUpDownTextBox::mTextBox_Change);
    mMax = Max;
    mMin = Min;
    tTextBox->setAlignment(Qt::AlignCenter);
    tTextBox->setMaxLength(int(QString::number(Max).size()));
    mUpDownWnd = CreateUpDownControl(WS_CHILD | WS_VISIBLE | UDS_ALIGNRIGHT | UDS_SETBUDDYINT, 0, 0, 0, 0,
                                     tTextBox->parentWidget(), 101, tTextBox, Max, Min, Pos);
}

void ClsUpDownTextBox::mTextBox_Change()
{
    if (!mTextBox)
        return;
    const QString text = mTextBox->text();
    if (text.isEmpty())
        return;
    const std::optional<std::int32_t> number = VarI4FromStr(text);
    if (!number) {
        // Not a number: put back the last accepted text without a word
        // (setText leaves the caret at its end).
        mTextBox->setText(mLastText);
        return;
    }
    if (*number < mMin || *number > mMax) {
        ShowMessage(mTextBox->window(),
                    QString::number(mMin) + QStringLiteral("以上") + QString::number(mMax)
                        + QStringLiteral("以下を入力してください"),
                    MessageIcon::Critical);
        if (mTextBox)
            mTextBox->setText(mLastText);
    }
    if (mTextBox)
        mLastText = mTextBox->text();
}
