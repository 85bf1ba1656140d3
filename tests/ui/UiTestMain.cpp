// Window tests run under Qt's offscreen platform with one application object for all of them.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "ui/ProgramIdentity.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(tessaroven);
    IntroduceProgramToDesktop();  // as the program does
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
