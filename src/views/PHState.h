#pragma once

#include <QObject>

#include <memory>

/// A boxed integer that stands in for a control as the sender of a deferred
/// action. It answers the three questions the panel's actions ask of their
/// senders: a check box's state, a table's or matrix's selected row, and a
/// pop-up's selected index all give the stored value (1 means "on").
///
/// The value is also readable as the property "state", so code that only holds
/// a `QObject *` sender can ask it without knowing the type.
class PHState : public QObject {
    Q_OBJECT
    Q_PROPERTY(qint32 state READ state WRITE setState)

public:
    explicit PHState(qint32 state = 0, QObject *parent = nullptr);
    static std::unique_ptr<PHState> stateWithState(qint32 state);

    qint32 state() const { return m_state; }
    void setState(qint32 state) { m_state = state; }

    Q_INVOKABLE qint32 selectedRow() const { return m_state; }
    Q_INVOKABLE qint32 indexOfSelectedItem() const { return m_state; }

private:
    qint32 m_state;
};
