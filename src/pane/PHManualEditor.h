#pragma once

#include "model/PHAccessCheck.h"
#include "model/PHFSItem.h"
#include "model/PHModelContext.h"
#include "platform/PHThemeColors.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class PHMessageLine;
class QAbstractButton;
class QPlainTextEdit;
class QTabWidget;
class QWidget;

/// The manual editor: the selected folder's access file as text, saved or
/// reverted by hand, and the one question in front of every operation that
/// would lose unsaved text (Save / Don't Save / Cancel). After a save the web
/// server is asked, on a worker, whether it can read the file; when it
/// cannot, the news says why and offers to put the earlier file back.
class PHManualEditor : public QObject, public PHManualEditGuard {
    Q_OBJECT
public:
    struct Widgets {
        QWidget *window = nullptr;  // parent of the prompt
        QTabWidget *tabs = nullptr; // the folder's tabs, the editor's among them
        QWidget *page = nullptr;    // the editor's tab
        QPlainTextEdit *text = nullptr;
        QAbstractButton *save = nullptr;
        QAbstractButton *revert = nullptr;
        QWidget *saveCheckProgress = nullptr;
        PHMessageLine *messageLine = nullptr; // the news, with its Revert button
    };
    /// Where the server is asked about a saved file: the web folder's address
    /// and the server's error log.
    struct ServerQuestion {
        std::function<QString()> baseAddress;
        std::function<QString()> errorLog;
    };

    PHManualEditor(const Widgets &widgets, ServerQuestion server, QObject *parent = nullptr);

    /// True while the text differs from the folder's file.
    bool hasUnsavedEdits() const override { return m_edited; }
    /// True while the server is asked about a file saved by hand (Save waits).
    bool isCheckingSave() const { return m_checkingSave; }
    QString text() const;

    /// The folder whose file the editor shows (the text follows at `show`).
    void setFolder(PHFSItem *item);
    /// Shows the folder's file unless the text holds unsaved edits.
    void show();
    /// Adds or removes the editor's tab.
    void setShown(bool shown);
    /// Forgets the unsaved edits (the file they were for is gone).
    void discardEdits() { m_edited = false; }
    /// True when the editor's text is now the folder's file; on failure the
    /// text stays, still unsaved.
    bool save();
    void revert();

    /// Asks about the unsaved edits before `action`; one question at a time.
    void askAboutUnsavedEdits(const DeferredAction &action) override;
    bool isAsking() const { return m_asking; }

signals:
    /// The text changed by typing (or its file was saved or put back).
    void textEdited();
    /// A folder's file was written from the editor.
    void folderSaved(PHFSItem *item);
    /// The question ended without running its action.
    void questionCancelled(const QString &action);
    void messageShown(PHThemeColors::Meaning meaning, const QString &text);

private:
    void textChanged();
    void questionEnded(int answer, const DeferredAction &action);
    void checkSave(PHFSItem *item, const std::optional<QString> &previous);
    void showSaveCheckRunning(bool running);
    void saveCheckEnded(const PHAccessCheck::Report &report, PHFSItem *item, const QString &folder,
                        const std::optional<QString> &previous);
    void revertSave(PHFSItem *item, const std::optional<QString> &previous);

    QPointer<QWidget> m_window;
    QPointer<QTabWidget> m_tabs;
    QPointer<QWidget> m_page;
    QString m_title;
    QPointer<QPlainTextEdit> m_text;
    QPointer<QAbstractButton> m_save;
    QPointer<QAbstractButton> m_revert;
    QPointer<QWidget> m_saveCheckProgress;
    QPointer<PHMessageLine> m_messageLine;
    ServerQuestion m_server;
    PHFSItemPointer m_folder;
    bool m_edited = false;
    bool m_asking = false;
    bool m_checkingSave = false;
};
