#pragma once

#include <QObject>

#include "platform/MessageSink.h"

// Shows the program's messages as modal boxes on the interface thread: the icon follows the flag
// (16 critical, 48 warning, 64 information), the caption is the one given. A box raised while one
// of the program's windows is open belongs to that window (over it, modal to it only, no task-bar
// entry of its own). A message raised on another thread is queued to the interface thread and the
// caller goes on at once. Without a display to show a box on (the offscreen platform), messages go
// to standard error instead.
class QtMessageSink final : public QObject, public platform::MessageSink {
    Q_OBJECT
  public:
    explicit QtMessageSink(QObject* parent = nullptr);
    void Show(const std::string& text, const std::string& caption, int flag) override;

    static bool HasDisplay();
    // Boxes even without a display, for tests that look at them.
    void SetShowsBoxesWithoutDisplay(bool on) { m_boxesWithoutDisplay = on; }

  private slots:
    void ShowBox(const QString& text, const QString& caption, int flag);

  private:
    bool m_boxesWithoutDisplay = false;
};
