#pragma once

// Qt's own item-model checker over the views' models: every change a test
// makes through a view is checked for a consistent model (rows, parents,
// signals in the right order). A broken rule is recorded, not fatal, so the
// test names it and fails in its own tear-down.

#include <QAbstractItemModel>
#include <QAbstractItemModelTester>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QStringList>

#include <memory>
#include <vector>

class ModelTester {
public:
    ModelTester() { s_previous = qInstallMessageHandler(&ModelTester::record); }
    ~ModelTester() {
        m_testers.clear();
        qInstallMessageHandler(s_previous);
        s_previous = nullptr;
    }
    ModelTester(const ModelTester &) = delete;
    ModelTester &operator=(const ModelTester &) = delete;

    /// Checks the model now and after each of its changes, while both live.
    void watch(QAbstractItemModel *model) {
        m_testers.push_back(std::make_unique<QAbstractItemModelTester>(
            model, QAbstractItemModelTester::FailureReportingMode::Warning));
    }

    /// What the checker found wrong so far, one line per broken rule.
    static QStringList failures() {
        QMutexLocker lock(&mutex());
        return found();
    }

    static void clear() {
        QMutexLocker lock(&mutex());
        found().clear();
    }

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &message) {
        if (context.category && qstrcmp(context.category, "qt.modeltest") == 0 && type == QtWarningMsg) {
            QMutexLocker lock(&mutex());
            found().append(message);
            return;
        }
        if (s_previous)
            s_previous(type, context, message);
    }
    static QMutex &mutex() {
        static QMutex lock;
        return lock;
    }
    static QStringList &found() {
        static QStringList list;
        return list;
    }

    std::vector<std::unique_ptr<QAbstractItemModelTester>> m_testers;
    static inline QtMessageHandler s_previous = nullptr;
};
