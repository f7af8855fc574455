#pragma once

#include <QByteArray>
#include <QObject>

namespace thermavo {

class ComPort;

// The reply framer as the main window sees it: armed and disarmed on the window thread, where it
// examines the received bytes and raises its events, one at a time.
class DataPacket : public QObject {
    Q_OBJECT

public:
    explicit DataPacket(ComPort* port, QObject* parent = nullptr);

    // Armed after a delivery only if a handler arms it again; the framer never re-arms itself.
    void setEnabled(bool armed);
    bool Enabled() const;
    // Raises the events of every reply (and time-out) received so far, in order; inside one of
    // its own handlers it does nothing.
    void handleReceived();

signals:
    void StringPacket(const QByteArray& data);
    void Timeout();

private:
    ComPort* m_port;
};

} // namespace thermavo
