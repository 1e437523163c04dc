#pragma once

#include <QString>

#include <functional>

class QObject;

/// Stands in front of every operation that would lose the manual editor's
/// unsaved text. Without unsaved text `holdBack` returns false and the caller
/// goes on. Otherwise it runs `putBack` (a control shows its old value again),
/// asks Save / Don't Save / Cancel, runs `retry` after Save or Don't Save
/// while `owner` (when given) still exists, and returns true: the caller
/// stops here.
class PHEditGuard {
public:
    virtual ~PHEditGuard() = default;
    virtual bool holdBack(const QString &name, const QObject *owner, const std::function<void()> &retry,
                          const std::function<void()> &putBack = {}) = 0;
};
