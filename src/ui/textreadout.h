#pragma once

#include <QLineEdit>

namespace thermavo {

// A read-only field for a short text the program sets; longer texts are cut to its length.
class TextReadout : public QLineEdit {
    Q_OBJECT

public:
    static constexpr int kMaxCharacters = 15;

    explicit TextReadout(QWidget* parent = nullptr);
};

} // namespace thermavo
