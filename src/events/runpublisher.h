#pragma once

#include "events/runevents.h"

#include <QMetaType>
#include <QObject>

namespace thermavo {

// The one way the window tells what happened. Features (the history, alarms, publishing, the
// run store) connect to its signals; the window knows none of them. The signals are emitted on
// the window thread, after the window has shown, charted and logged the tick.
class RunPublisher : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    void publish(const SampleTick& tick) { emit sampleTick(tick); }
    void publish(const LinkEvent& event) { emit linkChanged(event); }

signals:
    void sampleTick(const thermavo::SampleTick& tick);
    void linkChanged(const thermavo::LinkEvent& event);
};

} // namespace thermavo

Q_DECLARE_METATYPE(thermavo::SampleTick)
Q_DECLARE_METATYPE(thermavo::LinkEvent)
