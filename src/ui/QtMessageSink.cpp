#include "ui/QtMessageSink.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include <cstdio>

QtMessageSink::QtMessageSink(QObject* parent) : QObject(parent) {}

bool QtMessageSink::HasDisplay() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void QtMessageSink::Show(const std::string& text, const std::string& caption, int flag) {
    const QString qtext = QString::fromLocal8Bit(text.c_str());
    const QString qcaption = QString::fromLocal8Bit(caption.c_str());
    if (QThread::currentThread() == thread()) {
        ShowBox(qtext, qcaption, flag);
    } else {
        QMetaObject::invokeMethod(this, "ShowBox", Qt::QueuedConnection, Q_ARG(QString, qtext),
                                  Q_ARG(QString, qcaption), Q_ARG(int, flag));
    }
}

void QtMessageSink::ShowBox(const QString& text, const QString& caption, int flag) {
    if (!HasDisplay() && !m_boxesWithoutDisplay) {
        std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(),
                     text.toLocal8Bit().constData());
        std::fflush(stderr);
        return;
    }
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (flag & 0xF0) {
        case platform::kIconStop:
            icon = QMessageBox::Critical;
            break;
        case platform::kIconWarning:
            icon = QMessageBox::Warning;
            break;
        case platform::kIconInformation:
            icon = QMessageBox::Information;
            break;
        default:
            break;
    }
    // The open window (or a box already over it) is the box's parent. Modal to that window only:
    // the tray menu stays available, as it does while the window itself is open.
    QMessageBox box(icon, caption, text, QMessageBox::Ok, QApplication::activeModalWidget());
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}
