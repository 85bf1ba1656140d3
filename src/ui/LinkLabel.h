#pragma once

#include <QLabel>

// A label that behaves as a web link: clicking it, or Space on it, opens the address and
// leaves it purple. Tab reaches it, and a dotted frame shows when it has the focus.
class LinkLabel final : public QLabel {
    Q_OBJECT
  public:
    LinkLabel(const QString& address, QWidget* parent);

  signals:
    void clicked();

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
