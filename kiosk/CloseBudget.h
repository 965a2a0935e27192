#pragma once
// The close's time budget. After an update the new program is started while
// the old one is still closing and holds the single-instance lock; the new
// one waits for the lock, and gives up after handOverWaitMs(). The old copy's
// close and the new copy's wait are two halves of one hand-over, so both read
// their figures here: a longer step in the close lengthens the wait with it.
//
// Every step of the close is bounded by the figure below: the waits that the
// close sits out on purpose (the grace of the sales already paid) end when
// their time is up, and every back-office call the close makes or waits for
// is interrupted at the end of its step.

#include <cstdint>

struct TCloseBudget {
  // Device discovery broken off: a bridge run is killed at once, a
  // card-terminal greeting in flight ends by its own answer time-out (1 s a
  // message) within a few seconds.
  int64_t discoveryStopMs = 5'000;
  // The coffee machine's exchange in flight ends at its next round.
  int64_t coffeeStopMs = 2'000;
  // The card terminal's handshake switched off: the wait for the driver's
  // line and one short frame written. The driver's thread may hold the line
  // far longer (a payment's bank-host connect of 25 s, a write of 30 s);
  // the close waits 1.5 s for it and then leaves the terminal as it is
  // (TVendotek::kDisableHandshakeBoundMs).
  int64_t cardTerminalStopMs = 2'000;
  // The terminal marked disconnected on the back office: the whole call,
  // reconnection included, is interrupted when this is up.
  int64_t terminalMarkMs = 3'000;
  // Loyalty submissions and fiscal checks of sales already paid finish on
  // their own within this (two loyalty requests of 30 s each, and room for
  // a check's next try); they run side by side, so one grace covers all.
  int64_t saleWorkersGraceMs = 90'000;
  // Then those still running are interrupted, queue the event that reports
  // their work undone and end; the lock goes only after the last of them
  // has. Their back-office call in flight ends at once when interrupted, so
  // this covers the event files and the log lines they write as they go.
  // The close waits past it rather than let a worker outlive the lock.
  int64_t saleWorkersStopMs = 2'000;
  // The background workers (event log, audit upload, push, wallpaper, shell
  // guard) were interrupted at the start of the close; joining them.
  int64_t workersStopMs = 2'000;

  // The longest the close may hold the lock: every step at its bound.
  int64_t worstCloseMs() const {
    return discoveryStopMs + coffeeStopMs + cardTerminalStopMs + terminalMarkMs +
           saleWorkersGraceMs + saleWorkersStopMs + workersStopMs;
  }
  // What the new copy adds for a loaded machine: half the worst close, and
  // never less than half a minute.
  int64_t marginMs() const {
    const int64_t half = worstCloseMs() / 2;
    return half > 30'000 ? half : 30'000;
  }
  // How long a program started by an update waits for its predecessor to
  // let the lock go.
  int64_t handOverWaitMs() const { return worstCloseMs() + marginMs(); }
};

// The budget in force: the figures above, with the sale workers' grace
// multiplied by VEKTA_CLOSE_GRACE_SCALE when that holds a positive number (a
// benchmark of the worst close shortens the grace so; the old and the new
// copy must then both run with the same value). The bounds of the steps
// themselves are never scaled: they are what the drivers and the
// back-office client really take.
TCloseBudget closeBudget();
