#pragma once

#include <QString>

#include <functional>

// The two ways the tool speaks to the operator and to a developer. Each goes through a
// replaceable sink so that tests record the texts instead of blocking on a modal box.

using TextSink = std::function<void(const QString&)>;

// Modal message box titled "Quorvex" with one OK button.
void AfxMessageBox(const QString& text);

// One line of diagnostic output (standard error by default).
void DebugOutput(const QString& text);

// Install a sink; returns the previous one. An empty function restores the default.
TextSink SetMessageSink(TextSink sink);
TextSink SetDebugSink(TextSink sink);

// Blocks the calling thread for the given time, as the meter commands must while the meter
// answers. Benchmarks may scale the waits down; 1.0 is real time.
void Sleep(unsigned milliseconds);
void SetSleepScale(double scale);
double SleepScale();

// Waits in place of Sleep: called with the time the command asked for, unscaled, on the
// thread that called Sleep. Tests install one that returns as soon as what the wait is for has
// happened, so that they need not sleep for real. Returns the previous one; an empty function
// restores the real (scaled) wait.
using SleepFunction = std::function<void(unsigned milliseconds)>;
SleepFunction SetSleepFunction(SleepFunction sleep);
