// Shared by the two start-up probes: ends the program once its first frame is painted, after
// printing when that was on CLOCK_MONOTONIC, which the harness that started the program reads
// too. Each probe is built like the program it stands for, apart from this filter.
#pragma once

#include <time.h>

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QObject>
#include <cstdio>

class QuitOnFirstPaint : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!painted_ && event->type() == QEvent::Paint && watched->isWidgetType()) {
      // The first paint event is the window's own background; its children (the button and
      // its text, which loads the fonts) are painted after it in the same pass. Stop the clock
      // when that pass is over: at the next turn of the event loop.
      painted_ = true;
      QMetaObject::invokeMethod(this, &QuitOnFirstPaint::framePainted, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  void framePainted() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("first_paint_ns %lld\n",
                static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    std::fflush(stdout);
    QCoreApplication::exit(0);
  }

  bool painted_ = false;
};
