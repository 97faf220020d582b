#pragma once

#include <QObject>
#include <QSharedPointer>

// The base of every event carried by the event bus. The bus finds subscribers by the class name of
// the event's meta-object, so every event class declares Q_OBJECT.
class EventBase : public QObject
{
    Q_OBJECT
public:
    EventBase();
    ~EventBase() override;

    // A new heap copy of the event, of its most-derived class; the caller owns it.
    virtual EventBase *clone() const = 0;
};

// What every delivery carries: each receiver gets a pointer to its own copy.
using EventPtr = QSharedPointer<EventBase>;
