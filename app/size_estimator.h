// SizeEstimator: the estimated size of out.gif for the window's list of pictures and output
// options, worked out in the background while the user edits them.
//
// Restart says the question changed; 300 ms after the last Restart the estimator reads the
// question (the pictures, the frame-rate text and the options) from the function it was given,
// on the user-interface thread, and a few of the pictures (convert/estimate.h chooses them) are
// converted with those options by quillomat-cli next to the program, in a child process writing
// into a private temporary folder. The size of that small animation is scaled up to the whole
// list. Reading the question only when a run is due keeps a Restart cheap: a folder of thousands
// of pictures is listed one entry at a time. A run that is due abandons the one under way. While
// held (a conversion runs in the window and needs the machine) a due run waits and looks again
// every 300 ms; a run already going is left to finish.
//
// The answer comes as Estimated(bytes, reason): bytes >= 0 is the estimate; -1 means there is
// none, with `reason` saying why in a few words ("a picture cannot be read"), or "" when the
// question does not arise (empty list, a rate that is no number, no quillomat-cli beside the
// program, no temporary folder). Estimating() says a run has started.
//
// Ownership: a QObject, usually a child of the window; it owns its timer, child process and
// temporary folder. Destroying it asks a running child to stop (it then removes its own
// temporary folder) and kills it if it has not stopped within two seconds.
// Threads: the user-interface thread; the work is in the child process.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

#include "convert/driver.h"

class QProcess;
class QTemporaryDir;
class QTimer;

namespace qm::app {

// What an estimate is for: the pictures in frame order, the frame-rate text and the options.
struct EstimateQuestion {
  QStringList files;
  QString fps;
  ConversionOptions options;
};

class SizeEstimator : public QObject {
  Q_OBJECT

 public:
  // `ask` gives the question of the moment; it is called on this object's thread.
  SizeEstimator(std::function<EstimateQuestion()> ask, QObject* parent = nullptr);
  ~SizeEstimator() override;

  // The question changed: a new run is due in 300 ms (counted from the last Restart).
  void Restart();
  // While held, no new run starts (see above).
  void SetHeld(bool held) { held_ = held; }

  // The last estimate in bytes; -1 while none is known.
  qint64 Bytes() const { return bytes_; }

 signals:
  void Estimating();
  void Estimated(qint64 bytes, const QString& reason);

 private:
  void Run();
  void Finished();
  // Asks the running child to stop, killing it after `wait_ms`; its answer is no longer wanted.
  void StopProcess(int wait_ms);
  void Answer(qint64 bytes, const QString& reason = {});

  std::function<EstimateQuestion()> ask_;
  bool held_ = false;
  QTimer* timer_ = nullptr;
  QProcess* process_ = nullptr;
  std::unique_ptr<QTemporaryDir> dir_;
  int32_t sample_frames_ = 0;
  int32_t count_ = 0;
  qint64 bytes_ = -1;
};

}  // namespace qm::app
