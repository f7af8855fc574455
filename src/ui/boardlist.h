#pragma once

class QComboBox;
class QString;

namespace thermavo {

// Keeps an editable list's selected row in step with the text typed into it: a text that names
// no row leaves no row selected, and the typed text itself stays in the box.
void keepRowInStepWithTyping(QComboBox& list, const QString& text);

} // namespace thermavo
