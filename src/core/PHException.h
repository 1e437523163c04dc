#pragma once

#include <QString>
#include <QVariantMap>

#include <exception>

/// A named failure with a reason and a detail record ("Invalid Array
/// Component", "PHICURegexException", the socket errors, the assertion
/// "Invalid parameter not satisfying: %s"). The wrapper around slots, timers
/// and sheet callbacks catches it, logs the reason and abandons that action.
class PHException : public std::exception {
public:
    PHException(QString name, QString reason, QVariantMap userInfo = {})
        : m_name(std::move(name)), m_reason(std::move(reason)), m_userInfo(std::move(userInfo)),
          m_what(QStringLiteral("%1: %2").arg(m_name, m_reason).toUtf8()) {}

    const QString &name() const { return m_name; }
    const QString &reason() const { return m_reason; }
    const QVariantMap &userInfo() const { return m_userInfo; }
    const char *what() const noexcept override { return m_what.constData(); }

    /// The programming-error assertion: "Invalid parameter not satisfying: <condition>".
    static PHException invalidParameter(const QString &condition) {
        return PHException(QStringLiteral("NSInternalInconsistencyException"),
                           QStringLiteral("Invalid parameter not satisfying: %1").arg(condition));
    }

private:
    QString m_name;
    QString m_reason;
    QVariantMap m_userInfo;
    QByteArray m_what;
};

/// Raises the assertion failure when the condition does not hold.
#define PH_PARAMETER_ASSERT(condition)                                                                       \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            throw PHException::invalidParameter(QStringLiteral(#condition));                                 \
    } while (0)
