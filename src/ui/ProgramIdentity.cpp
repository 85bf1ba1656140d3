#include "ui/ProgramIdentity.h"

#include <QApplication>
#include <QIcon>

void IntroduceProgramToDesktop() {
    // No version in the class: it would part the windows of each release from the entry.
    QApplication::setApplicationName(QStringLiteral("Tessaroven"));
    QApplication::setApplicationVersion(QStringLiteral(TESSAROVEN_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("tessaroven"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/tessaroven.svg")));
}
