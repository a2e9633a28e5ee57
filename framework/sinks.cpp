#include "sinks.h"

#include <QApplication>
#include <QMessageBox>

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

namespace {

void ShowMessageBox(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quorvex"), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

void WriteDebugLine(const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

TextSink& MessageSink()
{
    static TextSink sink = ShowMessageBox;
    return sink;
}

TextSink& DebugSink()
{
    static TextSink sink = WriteDebugLine;
    return sink;
}

double& Scale()
{
    static double scale = 1.0;
    return scale;
}

SleepFunction& Waiter()
{
    static SleepFunction waiter;
    return waiter;
}

TextSink Replace(TextSink& slot, TextSink sink, void (*fallback)(const QString&))
{
    TextSink previous = std::exchange(slot, std::move(sink));
    if (!slot) {
        slot = fallback;
    }
    return previous;
}

} // namespace

void AfxMessageBox(const QString& text) { MessageSink()(text); }

void DebugOutput(const QString& text) { DebugSink()(text); }

TextSink SetMessageSink(TextSink sink) { return Replace(MessageSink(), std::move(sink), ShowMessageBox); }

TextSink SetDebugSink(TextSink sink) { return Replace(DebugSink(), std::move(sink), WriteDebugLine); }

void Sleep(unsigned milliseconds)
{
    // A copy: the function may install another one while it runs.
    if (const SleepFunction waiter = Waiter()) {
        waiter(milliseconds);
        return;
    }
    const auto scaled = std::chrono::duration<double, std::milli>(milliseconds * Scale());
    std::this_thread::sleep_for(scaled);
}

void SetSleepScale(double scale) { Scale() = scale < 0.0 ? 0.0 : scale; }

double SleepScale() { return Scale(); }

SleepFunction SetSleepFunction(SleepFunction sleep) { return std::exchange(Waiter(), std::move(sleep)); }
