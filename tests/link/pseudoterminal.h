#pragma once

#include <QByteArray>
#include <QString>
#include <string>

// The board's end of a pseudo-terminal, registered as COM<n> in the port folder of
// $XDG_CONFIG_HOME, so that the link opens the other end through the port map.
class PseudoTerminal {
public:
    PseudoTerminal() = default;
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;
    ~PseudoTerminal();

    // Creates the pair and the link; false with a reason in error() when it cannot.
    bool create(int number);
    const QString& error() const { return m_error; }
    const std::string& devicePath() const { return m_device; }

    bool write(const QByteArray& bytes);
    QByteArray readAvailable();
    void closeBoardSide();

private:
    int m_master = -1;
    std::string m_device;
    std::string m_link;
    QString m_error;
};

// Points COM<n> at a path that does not exist.
bool linkMissingPort(int number);
