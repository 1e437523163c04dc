#pragma once

#include "server/PHConfParser.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

class QAbstractButton;
class QComboBox;
class QLabel;
class QWidget;
class PHLogWindow;

/// The server tab's logs: the ones the configuration names (CustomLog and
/// ErrorLog, following Include), or every file of a log folder chosen in
/// Options, listed in the tab's picker and opened each in a window of its own.
class PHServerLogs : public QObject, public PHConfParserDelegate {
    Q_OBJECT
public:
    struct Widgets {
        QWidget *window = nullptr; // parent of the log windows
        QComboBox *picker = nullptr;
        QAbstractButton *show = nullptr;
        QLabel *problem = nullptr; // why the list is empty, when it is
    };

    explicit PHServerLogs(const Widgets &widgets, QObject *parent = nullptr);
    /// Closes the log windows: they go with their tab.
    ~PHServerLogs() override;

    /// Adds the logs that `configurationFile` (or the chosen log folder) names.
    /// The configuration's Include files are read on workers; their logs
    /// arrive later.
    void find(const QString &configurationFile);
    /// Empties the list, then finds the logs again.
    void relist(const QString &configurationFile);
    QStringList logs() const { return m_logs; }

    /// Opens the log at `index` of the list in a window of its own.
    void open(qint32 index);
    /// The log windows opened so far (a closed one is gone).
    QList<PHLogWindow *> windows() const;

    void parserParsedTokenInLineAtLineNumberOfFile(PHConfParser *parser, const QString &token,
                                                   const QString &line, qint32 lineNumber,
                                                   const QString &path) override;

private:
    void add(const QString &path, const QString &title);
    void followInclude(const QString &pattern);
    void showProblem(const QString &problem);

    QPointer<QWidget> m_window;
    QPointer<QComboBox> m_picker;
    QPointer<QAbstractButton> m_show;
    QPointer<QLabel> m_problem;
    QStringList m_logs;
    QList<QPointer<PHLogWindow>> m_windows;
    std::shared_ptr<PHConfParser> m_parser;
    QSet<QString> m_parsedFiles; // canonical paths handed to a parser this discovery run
};
