#include "core/eventbase.h"

EventBase::EventBase() : QObject(nullptr) {}

EventBase::~EventBase() = default;
