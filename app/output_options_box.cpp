#include "app/output_options_box.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <cmath>

#include "app/settings.h"
#include "convert/driver.h"

namespace qm::app {

namespace {

constexpr const char* kSizeTip =
    "Original keeps the pictures' size. \"At most\" shrinks every frame to fit inside the width "
    "and height (never enlarged): a smaller file and a faster conversion, less detail.";
constexpr const char* kQualityTip =
    "Classic: the 216-colour cube with an ordered dither, the fastest. Best: a palette for every "
    "frame, error diffusion and only the changed areas stored; it looks much better on photos "
    "and takes longer to convert.";
constexpr const char* kLoopTip =
    "How many times the animation plays. Forever costs nothing; a count adds no size.";
constexpr const char* kHoldTip =
    "How long the last frame stays before the animation ends or starts again. Costs nothing in "
    "size or time.";
constexpr const char* kOptimizeTip =
    "Stores each frame after the first as the area that changed: a smaller file, a little longer "
    "to convert. Best includes it.";

}  // namespace

OutputOptionsBox::OutputOptionsBox(QWidget* parent) : QGroupBox("Output Options", parent) {
  setObjectName("FrameOptions");

  size_mode_ = new QComboBox(this);
  size_mode_->setObjectName("cboSize");
  size_mode_->addItems({"Original", "At most"});
  max_width_ = new QSpinBox(this);
  max_width_->setObjectName("spnMaxWidth");
  max_height_ = new QSpinBox(this);
  max_height_->setObjectName("spnMaxHeight");
  for (QSpinBox* s : {max_width_, max_height_}) {
    s->setRange(0, kMaxOutputSide);
    s->setSpecialValueText("any");
    s->setSuffix(" px");
    s->setSingleStep(10);
    s->setAccelerated(true);
  }
  max_width_->setValue(640);
  max_height_->setValue(480);
  max_width_->setToolTip("The largest width of a frame; \"any\" leaves the width free.");
  max_height_->setToolTip("The largest height of a frame; \"any\" leaves the height free.");
  size_mode_->setToolTip(kSizeTip);
  auto* sides = new QHBoxLayout;
  sides->setContentsMargins(0, 0, 0, 0);
  sides->addWidget(max_width_);
  sides->addWidget(new QLabel(QString::fromUtf8("\u00d7"), this));
  sides->addWidget(max_height_);

  quality_ = new QComboBox(this);
  quality_->setObjectName("cboQuality");
  quality_->addItems({"Classic", "Best"});
  quality_->setToolTip(kQualityTip);

  loop_ = new QSpinBox(this);
  loop_->setObjectName("spnLoop");
  loop_->setRange(0, kMaxLoopCount);
  loop_->setSpecialValueText("Forever");
  loop_->setSuffix(" times");
  loop_->setToolTip(kLoopTip);

  hold_last_ = new QDoubleSpinBox(this);
  hold_last_->setObjectName("spnHoldLast");
  hold_last_->setRange(0, kMaxDelayCs / 100.0);
  hold_last_->setDecimals(2);
  hold_last_->setSingleStep(0.5);
  hold_last_->setSpecialValueText("No");
  hold_last_->setSuffix(" s");
  hold_last_->setToolTip(kHoldTip);

  optimize_ = new QCheckBox("Smaller file", this);
  optimize_->setObjectName("chkOptimize");
  optimize_->setToolTip(kOptimizeTip);

  auto* form = new QFormLayout(this);
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  form->addRow("Size:", size_mode_);
  form->addRow(QString(), sides);
  form->addRow("Quality:", quality_);
  form->addRow("Plays:", loop_);
  form->addRow("Hold last:", hold_last_);
  form->addRow(QString(), optimize_);
  for (QLabel* label : findChildren<QLabel*>()) label->setMouseTracking(true);

  auto changed = [this] {
    UpdateStates();
    if (!loading_) StoreSettings();
    emit Changed();
  };
  connect(size_mode_, &QComboBox::currentIndexChanged, this, changed);
  connect(max_width_, &QSpinBox::valueChanged, this, changed);
  connect(max_height_, &QSpinBox::valueChanged, this, changed);
  connect(quality_, &QComboBox::currentIndexChanged, this, changed);
  connect(loop_, &QSpinBox::valueChanged, this, changed);
  connect(hold_last_, &QDoubleSpinBox::valueChanged, this, changed);
  connect(optimize_, &QCheckBox::toggled, this, changed);
  UpdateStates();
}

void OutputOptionsBox::UpdateStates() {
  const bool limited = size_mode_->currentIndex() == 1;
  max_width_->setEnabled(limited);
  max_height_->setEnabled(limited);
}

ConversionOptions OutputOptionsBox::Options() const {
  ConversionOptions options;
  if (quality_->currentIndex() == 1) ApplyBestPreset(options);
  if (optimize_->isChecked()) options.optimize = true;
  if (size_mode_->currentIndex() == 1) {
    options.max_width = max_width_->value();
    options.max_height = max_height_->value();
  }
  options.loop_count = loop_->value();
  const double hold = hold_last_->value();
  if (hold > 0) options.hold_last_cs = int32_t(std::lround(hold * 100));
  return options;
}

void OutputOptionsBox::LoadSettings() {
  auto settings = OpenSettings();
  loading_ = true;
  size_mode_->setCurrentIndex(settings->value("OutputSize").toString() == "AtMost" ? 1 : 0);
  max_width_->setValue(settings->value("MaxWidth", max_width_->value()).toInt());
  max_height_->setValue(settings->value("MaxHeight", max_height_->value()).toInt());
  quality_->setCurrentIndex(settings->value("Quality").toString() == "Best" ? 1 : 0);
  loop_->setValue(settings->value("Loop", 0).toInt());
  hold_last_->setValue(settings->value("HoldLast", 0).toDouble());
  optimize_->setChecked(settings->value("Optimize", 0).toInt() == 1);
  loading_ = false;
  UpdateStates();
}

void OutputOptionsBox::StoreSettings() const {
  auto settings = OpenSettings();
  settings->setValue("OutputSize", size_mode_->currentIndex() == 1 ? "AtMost" : "Original");
  settings->setValue("MaxWidth", QString::number(max_width_->value()));
  settings->setValue("MaxHeight", QString::number(max_height_->value()));
  settings->setValue("Quality", quality_->currentIndex() == 1 ? "Best" : "Classic");
  settings->setValue("Loop", QString::number(loop_->value()));
  settings->setValue("HoldLast", QString::number(hold_last_->value(), 'f', 2));
  settings->setValue("Optimize", optimize_->isChecked() ? "1" : "0");
  settings->sync();
}

}  // namespace qm::app
