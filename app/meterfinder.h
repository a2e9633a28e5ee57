#pragma once

#include "scan.h"

#include <QPointer>
#include <QProgressDialog>
#include <QString>

#include <string>
#include <vector>

class FrameLog;
class QWidget;

// What a search for a meter on one device found, tried and met.
struct FindOutcome
{
    std::vector<ScanAnswer> answers; // noise included, in the order met
    std::vector<LineSetting> tried;
    std::string openError; // the device would not open: nothing was tried
    // A gateway that keeps the line settings to itself (Modbus TCP, RTU over TCP): there are
    // none to try, nothing was tried.
    bool gatewayKeepsSettings = false;
    bool cancelled = false;
};

// Searches the device for a meter at each line setting in turn, beside the event loop, in a
// modal progress dialog titled "查找电表" that shows the setting being tried and whose
// Cancel ends the search before the next request. Every frame goes to the log. progressSlot
// points at the dialog while it shows, for those who look in from outside.
FindOutcome FindMeterWithProgress(QWidget* parent, const QString& portName, const std::string& device,
                                  MeterType firstType, FrameLog& log, QPointer<QProgressDialog>& progressSlot);

// "9600 none, 9600 even, ..."
QString DescribeSettings(const std::vector<LineSetting>& settings);
