#pragma once

#include <QString>
#include <QWidget>
#include <string>

class QLineEdit;
class QToolButton;

namespace thermavo {

// A one-line file-name edit with a browse button at its right end. It accepts any text and
// checks nothing; the window decides what the button does. The edit takes the keyboard focus
// for the whole control; the button takes none.
class FileEdit : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged USER true)

public:
    explicit FileEdit(QWidget* parent = nullptr);

    QString text() const;
    void setText(const QString& text);

    QLineEdit* lineEdit() const { return m_edit; }
    QToolButton* button() const { return m_button; }

    QSize sizeHint() const override;

    // Asks for a file with the dialog the log files are chosen with (any name, existing or new,
    // no question about overwriting), starting at this edit's file; the chosen file's absolute
    // name replaces the text, a cancel leaves it.
    void browse(const QString& title, const QString& filter, const QString& suffix);
    // The file's name as the log writer takes it: the file system's own bytes on Linux, UTF-8 on
    // Windows, where the writer hands the system the name's UTF-16 text.
    std::string writerPath() const;

signals:
    void buttonClicked();
    void textChanged(const QString& text);

private:
    QLineEdit* m_edit = nullptr;
    QToolButton* m_button = nullptr;
};

} // namespace thermavo
