#include "views/PHState.h"

PHState::PHState(qint32 state, QObject *parent) : QObject(parent), m_state(state) {
}

std::unique_ptr<PHState> PHState::stateWithState(qint32 state) {
    return std::make_unique<PHState>(state);
}
