#pragma once

#include "link/comport.h"
#include "link/serialdevice.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

// A device slow to open, as a paired Bluetooth port out of range is: each opening waits at the
// gate until the test lets it go, then opens the real device or fails as a port in use. So that
// a thread wrongly blocked on it cannot hang a test, an opening held longer than kOutwaitMs goes
// on by itself, and the gate remembers that it had to.
class OpeningGate {
public:
    static constexpr std::chrono::milliseconds kOutwaitMs{3000};

    void hold() {
        const std::lock_guard lock(m_mutex);
        m_holding = true;
    }
    void letGo(bool opens) {
        {
            const std::lock_guard lock(m_mutex);
            m_holding = false;
            m_opens = opens;
        }
        m_changed.notify_all();
    }
    // The openings that reached the gate, and the devices closed after opening.
    int openings() const {
        const std::lock_guard lock(m_mutex);
        return m_openings;
    }
    int closes() const {
        const std::lock_guard lock(m_mutex);
        return m_closes;
    }
    int waiting() const {
        const std::lock_guard lock(m_mutex);
        return m_waiting;
    }
    bool outwaited() const {
        const std::lock_guard lock(m_mutex);
        return m_outwaited;
    }

    // On the port's thread: returns whether the opening goes on.
    bool pass() {
        std::unique_lock lock(m_mutex);
        ++m_openings;
        ++m_waiting;
        if (!m_changed.wait_for(lock, kOutwaitMs, [this] { return !m_holding; }))
            m_outwaited = true;
        --m_waiting;
        return m_opens;
    }
    void closed() {
        const std::lock_guard lock(m_mutex);
        ++m_closes;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_holding = false;
    bool m_opens = true;
    bool m_outwaited = false;
    int m_openings = 0;
    int m_closes = 0;
    int m_waiting = 0;
};

class GatedDevice : public thermavo::SerialDevice {
public:
    GatedDevice(std::shared_ptr<OpeningGate> gate, std::unique_ptr<thermavo::SerialDevice> inner)
        : m_gate(std::move(gate)), m_inner(std::move(inner)) {
        connect(m_inner.get(), &SerialDevice::readyRead, this, &SerialDevice::readyRead);
        connect(m_inner.get(), &SerialDevice::bytesWritten, this, &SerialDevice::bytesWritten);
        connect(m_inner.get(), &SerialDevice::failed, this, &SerialDevice::failed);
    }

    void open(int number, int baud) override {
        if (!m_gate->pass())
            throw thermavo::PortOpenError(thermavo::PortOpenError::Reason::PortInUse);
        m_inner->open(number, baud);
        m_open = true;
    }
    QByteArray readAll() override { return m_inner->readAll(); }
    void pauseReading(bool paused) override { m_inner->pauseReading(paused); }
    void write(const QByteArray& bytes) override { m_inner->write(bytes); }
    void drainOrDiscard(int waitMs) override { m_inner->drainOrDiscard(waitMs); }
    void close() override {
        m_inner->close();
        if (std::exchange(m_open, false))
            m_gate->closed();
    }

    // What a port or window is given to make its devices with.
    static auto factory(std::shared_ptr<OpeningGate> gate) {
        return [gate]() -> std::unique_ptr<thermavo::SerialDevice> {
            return std::make_unique<GatedDevice>(gate, thermavo::createSerialDevice());
        };
    }

private:
    std::shared_ptr<OpeningGate> m_gate;
    std::unique_ptr<thermavo::SerialDevice> m_inner;
    bool m_open = false;
};
