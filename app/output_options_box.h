// OutputOptionsBox: the "Output Options" box of the main window (FrameOptions). Its controls
// stand for the choices of a conversion beyond the classic ones: the size (Original, or at most
// a width x height, "any" leaving a side free), the quality (Classic, or Best: the --best
// preset), how many times the animation plays, how long the last frame is held, and the smaller
// file (frames stored as their changes). Options() turns them into ConversionOptions; the
// defaults stand for the classic conversion.
//
// Every choice is remembered in the window's settings (app/settings.h) as soon as it changes:
// OutputSize ("Original"/"AtMost"), MaxWidth, MaxHeight, Quality ("Classic"/"Best"), Loop,
// HoldLast (seconds, two decimals) and Optimize ("0"/"1"). LoadSettings puts them back; a
// missing or unreadable value leaves the control at its default.
//
// Ownership: a child widget of its parent, owning its controls. Threads: the user-interface
// thread only.
#pragma once

#include <QGroupBox>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QSpinBox;

namespace qm {
struct ConversionOptions;
}  // namespace qm

namespace qm::app {

class OutputOptionsBox : public QGroupBox {
  Q_OBJECT

 public:
  explicit OutputOptionsBox(QWidget* parent = nullptr);

  // The conversion options the controls stand for.
  ConversionOptions Options() const;

  // Sets the controls from the stored settings without storing them again.
  void LoadSettings();

 signals:
  // Any choice changed, by the user or by LoadSettings.
  void Changed();

 private:
  void StoreSettings() const;
  void UpdateStates();

  QComboBox* size_mode_ = nullptr;
  QSpinBox* max_width_ = nullptr;
  QSpinBox* max_height_ = nullptr;
  QComboBox* quality_ = nullptr;
  QSpinBox* loop_ = nullptr;
  QDoubleSpinBox* hold_last_ = nullptr;
  QCheckBox* optimize_ = nullptr;
  bool loading_ = false;
};

}  // namespace qm::app
