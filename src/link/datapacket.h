#pragma once

#include <QByteArray>
#include <QObject>

namespace thermavo {

class ComPort;

// The reply framer as the main window sees it: armed and disarmed on the window thread, its
// events raised there while the port's worker waits for the handlers to return.
class DataPacket : public QObject {
    Q_OBJECT

public:
    explicit DataPacket(ComPort* port, QObject* parent = nullptr);

    // Armed after a delivery only if a handler arms it again; the framer never re-arms itself.
    void setEnabled(bool armed);
    bool Enabled() const;

signals:
    void StringPacket(const QByteArray& data);
    void Timeout();

private:
    ComPort* m_port;
};

} // namespace thermavo
