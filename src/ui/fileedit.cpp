#include "ui/fileedit.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QStyle>
#include <QToolButton>

namespace thermavo {

namespace {

constexpr int kButtonWidth = 21;
constexpr int kDefaultWidth = 177;
constexpr int kDefaultHeight = 21;

} // namespace

FileEdit::FileEdit(QWidget* parent)
    : QWidget(parent), m_edit(new QLineEdit(this)), m_button(new QToolButton(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_edit);
    layout->addWidget(m_button);

    m_button->setFocusPolicy(Qt::NoFocus);
    m_button->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    m_button->setFixedWidth(kButtonWidth);
    m_button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);

    setFocusProxy(m_edit);
    setFocusPolicy(m_edit->focusPolicy());
    connect(m_button, &QToolButton::clicked, this, &FileEdit::buttonClicked);
    connect(m_edit, &QLineEdit::textChanged, this, &FileEdit::textChanged);
}

QString FileEdit::text() const {
    return m_edit->text();
}

void FileEdit::setText(const QString& text) {
    m_edit->setText(text);
}

QSize FileEdit::sizeHint() const {
    return {kDefaultWidth, kDefaultHeight};
}

std::string FileEdit::writerPath() const {
#ifdef _WIN32
    return text().toStdString();
#else
    return QFile::encodeName(text()).toStdString();
#endif
}

void FileEdit::browse(const QString& title, const QString& filter, const QString& suffix) {
    QFileDialog dialog(window(), title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(suffix);
    dialog.setSizeGripEnabled(true);
    if (!text().isEmpty())
        dialog.selectFile(text());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    setText(QDir::toNativeSeparators(
        QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath()));
}

} // namespace thermavo
