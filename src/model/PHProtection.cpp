#include "model/PHProtection.h"

QString PHProtection::name(PHMode mode) {
    switch (mode) {
    case PHMode::None:
        return QStringLiteral("None");
    case PHMode::Password:
        return QStringLiteral("Password");
    case PHMode::Address:
        return QStringLiteral("Address");
    case PHMode::Either:
        return QStringLiteral("Password or Address");
    case PHMode::Both:
        return QStringLiteral("Password and Address");
    }
    return {};
}
