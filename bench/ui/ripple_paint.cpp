// Time to paint the 250 x 250 talk button with 10 live ripples at different
// stages, against the same button with none. Prints both and the ratio.
#include <QAbstractAnimation>
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ui/pulsating_button.h"
#include "ui/qt_main_queue.h"
#include "ui/styles.h"

namespace {

// Median of several runs of `frames` renders, in microseconds per frame.
double microsecondsPerFrame(qur::PulsatingButton& button, QImage& target, int frames) {
  std::vector<double> runs;
  for (int run = 0; run < 9; ++run) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) {
      target.fill(Qt::black);
      button.render(&target);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    runs.push_back(std::chrono::duration<double, std::micro>(elapsed).count() / frames);
  }
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  auto queue = qur::QtMainQueue::install();
  QImage target(250, 250, QImage::Format_ARGB32_Premultiplied);
  qur::PulsatingButton button;
  button.resize(250, 250);
  button.setBackgroundColor(qur::Styles::transmitButtonColor());

  constexpr int kFrames = 200;
  const double empty = microsecondsPerFrame(button, target, kFrames);
  for (int i = 0; i < 10; ++i) {
    button.pulse(qur::Styles::transmitButtonPulseColor(), 3.5f, 2.5);
  }
  // Spread them over their lives and hold them there.
  int i = 0;
  for (auto* animation : button.findChildren<QAbstractAnimation*>()) {
    animation->pause();
    animation->setCurrentTime(animation->totalDuration() * (i++) / 10);
  }
  if (button.rippleCount() != 10) {
    std::fprintf(stderr, "expected 10 ripples, have %zu\n", button.rippleCount());
    return 1;
  }
  const double ripples = microsecondsPerFrame(button, target, kFrames);
  std::printf("ripple paint, 250x250: empty frame %.1f us, 10 ripples %.1f us, ratio %.2f\n", empty,
              ripples, ripples / empty);
  return 0;
}
