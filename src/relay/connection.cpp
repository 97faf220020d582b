#include "relay/connection.h"

namespace Relay {

Connection::Connection(QObject *parent) : Service(parent) {}

Connection::~Connection() = default;

} // namespace Relay
