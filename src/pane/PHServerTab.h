#pragma once

#include "model/PHModelContext.h"
#include "platform/PHThemeColors.h"
#include "server/PHApacheController.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QAbstractButton;
class QLabel;
class QLineEdit;
class QTabWidget;
class QWidget;

/// The web server's side of the panel: the controller of the Apache tab
/// (made unless the server is remote, its tab shown while the server is
/// managed here), the status line below the tabs, and the server's program,
/// configuration and log folders in Options (found on first start, typed or
/// detected again).
class PHServerTab : public QObject {
    Q_OBJECT
public:
    struct Widgets {
        QWidget *window = nullptr;  // parent of the server's sheets
        QTabWidget *tabs = nullptr; // the panel's tabs: the Apache tab comes and goes
        QLabel *status = nullptr;   // the server's line below the tabs
        QLineEdit *binaryField = nullptr;
        QLineEdit *confDirField = nullptr;
        QLineEdit *logDirField = nullptr;
        QAbstractButton *detectButton = nullptr;
    };

    /// Detects the server on the first start, makes its controller unless
    /// the stored setting says the server is remote, and reads the fields.
    /// The controller is handed `context` and the bundle at `bundlePath`.
    PHServerTab(const Widgets &widgets, const PHModelContext &context, const QString &bundlePath,
                QObject *parent = nullptr);
    ~PHServerTab() override;

    /// The Apache tab's controller, or null while the server was never managed here.
    PHApacheController *apache() const { return m_apache; }
    /// The server's error log, when one can be read.
    QString errorLog() const;

    /// Shows the stored program and folders.
    void load();
    /// Shows or hides the Apache tab for a remote or a local server (the
    /// setting is already stored).
    void setRemote(bool remote);
    /// Detects the server's program and folders again and stores them.
    void detect();

    void didSelect();
    void didUnselect();
    /// The server tab's own news is about that tab only.
    void dismissMessages();

signals:
    void messageShown(PHThemeColors::Meaning meaning, const QString &text);

private:
    /// Makes the controller when asked to, then runs it for a local server
    /// and stops it for a remote one.
    void startController(bool create);
    void saveBinary();
    void saveConfDirectory();
    void saveLogDirectory();
    void serverSettingsChanged();

    PHModelContext m_context;
    QString m_bundlePath;
    QPointer<QWidget> m_window;
    QPointer<QTabWidget> m_tabs;
    QPointer<QLabel> m_status;
    QPointer<QLineEdit> m_binaryField;
    QPointer<QLineEdit> m_confDirField;
    QPointer<QLineEdit> m_logDirField;
    QPointer<PHApacheController> m_apache;
    QPointer<QWidget> m_apacheTab;
};
