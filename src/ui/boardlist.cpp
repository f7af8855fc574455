#include "ui/boardlist.h"

#include <QComboBox>
#include <QLineEdit>
#include <QSignalBlocker>

namespace thermavo {

void keepRowInStepWithTyping(QComboBox& list, const QString& text) {
    const int row = list.findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (row == list.currentIndex())
        return;
    QLineEdit& edit = *list.lineEdit();
    const int cursor = edit.cursorPosition();
    const QSignalBlocker blocker(list);
    list.setCurrentIndex(row);
    edit.setText(text);
    edit.setCursorPosition(cursor);
}

} // namespace thermavo
