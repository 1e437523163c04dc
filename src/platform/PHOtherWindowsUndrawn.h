#pragma once

#include <QObject>

class QWidget;

/// While one window is drawn into a picture and shown on no screen (the
/// host's --screenshot), the other windows shown meanwhile, such as a sheet
/// that start-up opens, are in no picture and on no screen: they are not
/// drawn. They are still made, laid out and sized, and answer as ever.
/// Watches the whole application while it exists.
class PHOtherWindowsUndrawn : public QObject {
public:
    explicit PHOtherWindowsUndrawn(const QWidget *pictured);
    ~PHOtherWindowsUndrawn() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    const QWidget *m_pictured;
};
