#include "pane/PHManualEditor.h"

#include "core/Log.h"
#include "pane/PHPaneSupport.h"
#include "platform/PHAction.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHEnabling.h"
#include "platform/PHMessageLine.h"
#include "support/PHTextFile.h"

#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QTabWidget>

namespace {

const QString kQuestionTitle = QStringLiteral("Do you want to save manual editor changes?");
const QString kQuestionMessage = QStringLiteral(
    "If you do not save your manual editor changes, they will be lost when performing this action");
const QString kNothingToSave = QStringLiteral("The text is as saved: there is nothing to save or revert");
const QString kWaitingForServer = QStringLiteral("Waiting for the web server's answer about the last save");

} // namespace

PHManualEditor::PHManualEditor(const Widgets &widgets, ServerQuestion server, QObject *parent)
    : QObject(parent), m_window(widgets.window), m_tabs(widgets.tabs), m_page(widgets.page),
      m_text(widgets.text), m_save(widgets.save), m_revert(widgets.revert),
      m_saveCheckProgress(widgets.saveCheckProgress), m_messageLine(widgets.messageLine),
      m_server(std::move(server)) {
    if (m_tabs && m_page)
        m_title = m_tabs->tabText(m_tabs->indexOf(m_page));
    if (m_save)
        connect(m_save, &QAbstractButton::clicked, this,
                [this] { PHAction::run("save manual edit", [&] { save(); }); });
    if (m_revert)
        connect(m_revert, &QAbstractButton::clicked, this,
                [this] { PHAction::run("revert manual edit", [&] { revert(); }); });
    if (m_text)
        connect(m_text, &QPlainTextEdit::textChanged, this, [this] {
            if (!m_text->property("settingText").toBool())
                PHAction::run("manual edit", [&] { textChanged(); });
        });
}

QString PHManualEditor::text() const {
    return m_text ? m_text->toPlainText() : QString();
}

void PHManualEditor::setFolder(PHFSItem *item) {
    m_folder = item;
    const bool hasFile = item && item->hasAccessFile();
    m_text->setReadOnly(!hasFile);
    m_text->setTextInteractionFlags(hasFile ? Qt::TextEditorInteraction : Qt::NoTextInteraction);
}

void PHManualEditor::setShown(bool shown) {
    const int index = m_tabs->indexOf(m_page);
    if (shown && index < 0) {
        show();
        m_tabs->addTab(m_page, m_title);
    } else if (!shown && index >= 0) {
        m_tabs->removeTab(index);
    }
}

void PHManualEditor::show() {
    if (!m_edited) {
        const QString text = m_folder ? m_folder->stringValue() : QString();
        m_text->setProperty("settingText", true);
        m_text->setPlainText(text);
        m_text->setProperty("settingText", false);
        QTextCursor cursor = m_text->textCursor();
        cursor.movePosition(QTextCursor::Start);
        m_text->setTextCursor(cursor);
    }
    m_edited = false;
    PHEnabling::setEnabled(m_save, false, kNothingToSave);
    PHEnabling::setEnabled(m_revert, false, kNothingToSave);
    emit textEdited();
}

void PHManualEditor::textChanged() {
    m_edited = true;
    PHEnabling::setEnabled(m_save, !m_checkingSave, kWaitingForServer);
    PHEnabling::setEnabled(m_revert, true, QString());
    emit textEdited(); // says before saving whether the text would shut this computer out
}

bool PHManualEditor::save() {
    PHFSItem *item = m_folder;
    if (!item)
        return false;
    // What was on disk, for Revert when the server cannot read the new text.
    const PHTextFile before = PHTextFile::readBelow(item->treeRootPath(), item->accessPath());
    const std::optional<QString> previous = before.ok() ? std::optional<QString>(before.text) : std::nullopt;
    // The edits stay flagged until they are on disk, so the re-read that
    // follows a refused or failed write cannot replace the typed text.
    item->setStringValue(m_text->toPlainText());
    // A text with no directive in force is still written, in its disabled
    // form, so the file on disk is what the editor showed.
    if (!item->writeAccessFileEvenWhenUnprotected())
        return false;
    m_edited = false;
    emit folderSaved(item);
    checkSave(item, previous);
    return true;
}

void PHManualEditor::revert() {
    m_edited = false; // put the stored text back
    show();
}

// ----- The question about unsaved edits -----

void PHManualEditor::askAboutUnsavedEdits(const DeferredAction &action) {
    if (m_asking) {
        // One question at a time: the one on screen already holds an action.
        Log::write(QStringLiteral("%1 held back while the manual editor prompt is open").arg(action.name));
        return;
    }
    m_asking = true;
    QPointer<PHManualEditor> self(this);
    PHAlertSheet::Request request;
    request.title = kQuestionTitle;
    request.message = kQuestionMessage;
    request.defaultButton = QStringLiteral("Save");
    request.alternateButton = QStringLiteral("Don't Save");
    request.otherButton = QStringLiteral("Cancel");
    request.context = action.name;
    PHAlertSheet::begin(m_window, request, [self, action](int answer) {
        if (!self)
            return;
        self->m_asking = false;
        self->questionEnded(answer, action);
    });
}

void PHManualEditor::questionEnded(int answer, const DeferredAction &action) {
    switch (answer) {
    case PHAlertSheet::Default:
        if (save()) {
            action.perform();
            return;
        }
        break; // not saved: stay, as if Cancel had been chosen
    case PHAlertSheet::Alternate:
        m_edited = false;
        action.perform();
        return;
    case PHAlertSheet::Error:
        Log::write(QStringLiteral("An error occurred while answering the manual editor's question"));
        break;
    default:
        break;
    }
    emit questionCancelled(action.name);
}

// ----- Asking the server about a saved file -----

void PHManualEditor::checkSave(PHFSItem *item, const std::optional<QString> &previous) {
    if (!item || m_checkingSave)
        return;
    const QString base = m_server.baseAddress ? m_server.baseAddress() : QString();
    if (base.isEmpty())
        return;
    // Apache reads an access file on each request: a word it does not know
    // turns the whole folder into "500 Internal Server Error". Ask it now, on
    // a worker thread (each request may wait up to 10 s), so the panel stays
    // usable; the file is read here, the answer comes back queued.
    const PHAccessCheck::Plan plan = PHAccessCheck::prepare(
        item, base, QString(), QString(), m_server.errorLog ? m_server.errorLog() : QString());
    const QString folder = item->name().isEmpty() ? QStringLiteral("the web folder") : item->name();
    showSaveCheckRunning(true);
    PHFSItemPointer target(item);
    PHPaneSupport::askServerInBackground(
        this, plan, "checkManualSave", [this, target, folder, previous](const PHAccessCheck::Report &report) {
            saveCheckEnded(report, target.data(), folder, previous);
        });
}

void PHManualEditor::showSaveCheckRunning(bool running) {
    m_checkingSave = running;
    if (m_save)
        PHEnabling::setEnabled(m_save, !running && m_edited, running ? kWaitingForServer : kNothingToSave);
    if (m_saveCheckProgress)
        m_saveCheckProgress->setVisible(running);
}

void PHManualEditor::saveCheckEnded(const PHAccessCheck::Report &report, PHFSItem *item,
                                    const QString &folder, const std::optional<QString> &previous) {
    showSaveCheckRunning(false);
    const bool broken = std::any_of(report.probes.cbegin(), report.probes.cend(),
                                    [](const PHAccessCheck::Probe &probe) { return probe.answered == 500; });
    if (!broken)
        return;
    // "[time] [core:alert] [pid 1] [client ::1:2] /x/.htaccess: Invalid command 'Bogus', ..."
    QString reason;
    for (const QString &line : report.logLines) {
        const qsizetype end = line.lastIndexOf(QStringLiteral("] "));
        reason = end >= 0 ? line.mid(end + 2) : line;
        if (reason.contains(QStringLiteral(".htaccess")))
            break;
    }
    QString text = QStringLiteral("The web server cannot read the saved .htaccess in %1: it answers "
                                  "500 Internal Server Error")
                       .arg(folder);
    if (!reason.isEmpty())
        text += QStringLiteral(" (%1)").arg(reason);
    emit messageShown(PHThemeColors::Meaning::Negative, text);
    // A folder that left the tree meanwhile (a re-listing) has nothing to revert.
    if (!item || !m_messageLine)
        return;
    QPointer<PHManualEditor> self(this);
    PHFSItemPointer target(item);
    m_messageLine->addButton(QStringLiteral("Revert"), [self, target, previous] {
        PHAction::run("revertManualSave", [&] {
            if (self && target)
                self->revertSave(target, previous);
        });
    });
}

void PHManualEditor::revertSave(PHFSItem *item, const std::optional<QString> &previous) {
    if (m_edited)
        return; // newer typing is not thrown away
    const bool reverted = previous
                              ? (item->setStringValue(*previous), item->writeAccessFileEvenWhenUnprotected())
                              : item->deleteAccessFile();
    emit folderSaved(item);
    if (reverted)
        emit messageShown(PHThemeColors::Meaning::Normal,
                          QStringLiteral("Put back the earlier .htaccess in %1").arg(item->name()));
}
