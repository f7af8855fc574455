#pragma once

#include "events/runevents.h"

#include <QDateTime>
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

    // A tick or a change of the link at `now`, whose offset from UTC goes with it.
    void publishTick(const QDateTime& now, int boardRow, int intervalSeconds, int replies,
                     const std::array<ChannelTick, kTickChannels>& channels) {
        publish(SampleTick{now.toMSecsSinceEpoch(), now.offsetFromUtc(), boardRow, intervalSeconds,
                           replies, channels});
    }
    void publishLink(LinkChange change, const QDateTime& now, int boardRow, int comNumber) {
        publish(
            LinkEvent{change, now.toMSecsSinceEpoch(), now.offsetFromUtc(), boardRow, comNumber});
    }

signals:
    void sampleTick(const thermavo::SampleTick& tick);
    void linkChanged(const thermavo::LinkEvent& event);
};

} // namespace thermavo

Q_DECLARE_METATYPE(thermavo::SampleTick)
Q_DECLARE_METATYPE(thermavo::LinkEvent)
