#pragma once
#include <QTimer>
#include <QWidget>

// The busy sign: a magnifying glass sweeping over a folder, drawn by the program itself.
class TAnimate : public QWidget {
    Q_OBJECT
  public:
    explicit TAnimate(QWidget* parent = nullptr);

    bool Active() const { return timer_.isActive(); }
    void setActive(bool active);
    int StopFrame = 8;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    static constexpr int kFrames = 16;
    QTimer timer_;
    int frame_ = 0;
};
