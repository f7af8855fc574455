#include "link/boardcommands.h"

#include "link/comport.h"
#include "link/datapacket.h"
#include "link/delaytimer.h"

namespace thermavo {

void BoardCommands::start(int baud) {
    m_framer.setEnabled(false);
    m_port.close();
    m_delay.Delay(kBeforeOpenPauseMs);
    m_port.setBaud(baud);
    m_port.open();
    m_port.SendByte(kStart);
    m_framer.setEnabled(true);
}

void BoardCommands::restart() {
    m_port.SendByte(kStart);
    m_framer.setEnabled(true);
}

void BoardCommands::stop() {
    m_framer.setEnabled(false);
    m_port.SendByte(kStop);
    m_delay.Delay(kAfterStopPauseMs);
    m_port.close();
    m_delay.Delay(kAfterClosePauseMs);
}

std::exception_ptr BoardCommands::release(Release how) {
    std::exception_ptr failure;
    m_framer.setEnabled(false);
    try {
        m_port.SendByte(kStop);
        m_delay.Delay(kClosingPauseMs);
    } catch (...) {
        failure = std::current_exception();
    }
    if (how == Release::SessionEnd) {
        m_port.closeAtOnce();
    } else {
        m_port.close();
        m_delay.Delay(kClosingPauseMs);
    }
    return failure;
}

} // namespace thermavo
