#include "link/datapacket.h"

#include "link/comport.h"

namespace thermavo {

DataPacket::DataPacket(ComPort* port, QObject* parent) : QObject(parent), m_port(port) {
    connect(m_port, &ComPort::replyHandedOver, this, &DataPacket::StringPacket,
            Qt::DirectConnection);
    connect(m_port, &ComPort::timeoutHandedOver, this, &DataPacket::Timeout, Qt::DirectConnection);
}

void DataPacket::setEnabled(bool armed) {
    m_port->setFramerArmed(armed);
}

bool DataPacket::Enabled() const {
    return m_port->framerArmed();
}

void DataPacket::handleReceived() {
    m_port->handleReceived();
}

} // namespace thermavo
