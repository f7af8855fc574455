#pragma once

#include <QPointer>
#include <QString>

class QComboBox;

namespace thermavo {

class IniFileStore;

// The selected row of the board list in the settings file, section "TMainForm", under the key
// "<list name>.ItemIndex".
class ComponentState {
public:
    static constexpr const char* kSection = "TMainForm";

    ComponentState(IniFileStore& store, QComboBox* boardList);

    const QString& key() const { return m_key; }

    // Selects the stored row without running the list's activated handler; errors are ignored.
    // A number that is no row leaves no row selected, a text that is no integer selects row 0.
    void restore();
    // Does nothing before restore() has run. Throws ProfileWriteError, leaving saved() false.
    void save();

    bool restored() const { return m_restored; }
    bool saved() const { return m_saved; }

private:
    IniFileStore& m_store;
    QPointer<QComboBox> m_boardList;
    QString m_key;
    bool m_restored = false;
    bool m_saved = false;
};

} // namespace thermavo
