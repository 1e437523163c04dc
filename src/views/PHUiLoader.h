#pragma once

#include "platform/PHLayoutLoader.h"

/// Loads layout files that use the panel's own table and outline views.
class PHUiLoader : public PHLayoutLoader {
    Q_OBJECT
public:
    using PHLayoutLoader::PHLayoutLoader;
    QWidget *createWidget(const QString &className, QWidget *parent = nullptr,
                          const QString &name = QString()) override;
};
