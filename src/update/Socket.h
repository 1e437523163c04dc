#pragma once

#include "update/AbstractSocket.h"

#include <memory>

/// The concrete TCP socket the update check makes, uses and closes on one
/// worker thread.
class Socket : public AbstractSocket {
public:
    /// A new, unconnected socket.
    static std::unique_ptr<Socket> socket() { return std::make_unique<Socket>(); }
};
