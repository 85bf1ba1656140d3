#pragma once

#include <QLabel>

// A label that behaves as a web link: clicking it opens the address and leaves it purple.
class LinkLabel final : public QLabel {
    Q_OBJECT
  public:
    LinkLabel(const QString& address, QWidget* parent);

  signals:
    void clicked();

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};
