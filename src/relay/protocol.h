#pragma once

class QIODevice;

namespace Relay {

class Connection;

// Makes the relay protocol connection that runs over a byte stream; the caller owns the result.
class Protocol
{
public:
    virtual ~Protocol();
    virtual Connection *create(QIODevice *device) = 0;
};

} // namespace Relay
