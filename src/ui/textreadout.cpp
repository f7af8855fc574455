#include "ui/textreadout.h"

namespace thermavo {

TextReadout::TextReadout(QWidget* parent) : QLineEdit(parent) {
    setReadOnly(true);
    setMaxLength(kMaxCharacters);
}

} // namespace thermavo
