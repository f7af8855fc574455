#include "ui/componentstate.h"

#include "ui/inifilestore.h"

#include <QComboBox>
#include <exception>

namespace thermavo {

ComponentState::ComponentState(IniFileStore& store, QComboBox* boardList)
    : m_store(store), m_boardList(boardList),
      m_key((boardList != nullptr ? boardList->objectName() : QString()) +
            QStringLiteral(".ItemIndex")) {}

void ComponentState::restore() {
    m_restored = true;
    if (m_boardList == nullptr) {
        return;
    }
    try {
        const IniFileSession session(m_store);
        const QString stored =
            m_store.readString(kSection, m_key, QString::number(m_boardList->currentIndex()));
        bool ok = false;
        int row = stored.trimmed().toInt(&ok, 10);
        if (!ok) {
            row = 0;
        }
        // setCurrentIndex never emits activated, which only user picks raise.
        m_boardList->setCurrentIndex(row >= 0 && row < m_boardList->count() ? row : -1);
    } catch (const std::exception&) {
        // A board row that cannot be read leaves the designed row.
    }
}

void ComponentState::save() {
    if (!m_restored || m_boardList == nullptr) {
        return;
    }
    const IniFileSession session(m_store);
    m_store.writeInteger(kSection, m_key, m_boardList->currentIndex());
    m_saved = true;
}

} // namespace thermavo
