#pragma once

#include <QUiLoader>

/// Loads layout files that use the panel's own table and outline views.
class PHUiLoader : public QUiLoader {
    Q_OBJECT
public:
    using QUiLoader::QUiLoader;
    QWidget *createWidget(const QString &className, QWidget *parent = nullptr,
                          const QString &name = QString()) override;
};
