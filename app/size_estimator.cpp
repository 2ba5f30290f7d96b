#include "app/size_estimator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <vector>

#include "convert/estimate.h"

namespace qm::app {

SizeEstimator::SizeEstimator(std::function<EstimateQuestion()> ask, QObject* parent)
    : QObject(parent), ask_(std::move(ask)) {
  timer_ = new QTimer(this);
  timer_->setSingleShot(true);
  timer_->setInterval(300);
  connect(timer_, &QTimer::timeout, this, &SizeEstimator::Run);
}

SizeEstimator::~SizeEstimator() {
  if (!process_) return;
  // Asked to stop, the command line removes its temporary folder; killed, it could not.
  StopProcess(2000);
  process_->waitForFinished(1000);
}

void SizeEstimator::StopProcess(int wait_ms) {
  process_->disconnect(this);
  process_->terminate();
  if (!process_->waitForFinished(wait_ms)) process_->kill();
}

void SizeEstimator::Restart() {
  timer_->start();
}

void SizeEstimator::Answer(qint64 bytes, const QString& reason) {
  bytes_ = bytes;
  emit Estimated(bytes, reason);
}

void SizeEstimator::Run() {
  if (process_) {
    StopProcess(1000);
    process_->deleteLater();
    process_ = nullptr;
  }
  if (held_) {
    timer_->start();
    return;
  }
  const EstimateQuestion question = ask_();
  const QStringList& files = question.files;
  const ConversionOptions& options = question.options;
  bool numeric = false;
  question.fps.toDouble(&numeric);
  if (files.isEmpty() || !numeric) return Answer(-1);
  const QString cli = QDir(QCoreApplication::applicationDirPath()).filePath("quillomat-cli");
  if (!QFileInfo(cli).isExecutable()) return Answer(-1);

  dir_ = std::make_unique<QTemporaryDir>();
  if (!dir_->isValid()) return Answer(-1);
  const std::vector<int32_t> sample = EstimateSample(int32_t(files.size()));
  sample_frames_ = int32_t(sample.size());
  count_ = int32_t(files.size());

  QStringList args{"--quiet", "--fps", question.fps, "--out", dir_->filePath("estimate.gif")};
  static constexpr const char* kPalettes[] = {"halftone", "optimal", "global", "local"};
  static constexpr const char* kDithers[] = {"none", "ordered", "diffusion"};
  if (options.palette_mode >= 0 && options.palette_mode < 4)
    args << "--palette" << kPalettes[options.palette_mode];
  if (options.dither_mode >= 0 && options.dither_mode < 3)
    args << "--dither" << kDithers[options.dither_mode];
  if (options.optimize) args << "--optimize";
  if (options.max_width > 0) args << "--width" << QString::number(options.max_width);
  if (options.max_height > 0) args << "--height" << QString::number(options.max_height);
  args << "--";
  for (int32_t i : sample) args << files[i];

  emit Estimating();
  process_ = new QProcess(this);
  process_->setProcessChannelMode(QProcess::ForwardedOutputChannel);
  process_->setStandardErrorFile(QProcess::nullDevice());
  connect(process_, &QProcess::finished, this, &SizeEstimator::Finished);
  process_->start(cli, args);
}

void SizeEstimator::Finished() {
  QProcess* process = process_;
  process_ = nullptr;
  if (!process) return;
  process->deleteLater();
  const QFileInfo gif(dir_ ? dir_->filePath("estimate.gif") : QString());
  const bool ok = process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0 &&
                  gif.exists() && gif.size() > 0;
  const qint64 sample_bytes = ok ? gif.size() : 0;
  dir_.reset();
  if (!ok) return Answer(-1, "a picture cannot be read");
  Answer(ScaleEstimate(sample_bytes, sample_frames_, count_));
}

}  // namespace qm::app
