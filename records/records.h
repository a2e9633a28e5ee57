#pragma once

#include <QList>
#include <QString>

#include <array>

// A reading of a meter, held as the texts the window showed: no numbers, no units, no time
// stamp. A field never assigned is empty. Copies are plain value copies.

// Single-phase reading.
struct CDanData
{
    QString m_strAddress;
    QString m_strSN;
    QString m_strActiveKWh;
    QString m_strPositiveKWh;
    QString m_strReverseKWh;
    QString m_strVoltageL1;
    QString m_strCurrentL1;
    QString m_strActivePower;
    QString m_strReactivePower;
    QString m_strApparentPower;
    QString m_strConstant;
    QString m_strTariffNumber;
    QString m_strPowerFactor;
    QString m_strFrequency;

    bool operator==(const CDanData&) const = default;
};

// Three-phase reading.
struct CCEnergy
{
    QString m_strAddress;
    QString m_strSN;
    QString m_strActiveKWh;
    QString m_strReactiveKWh;
    QString m_strPositiveKWh;
    QString m_strReverseKWh;
    QString m_strVoltageL1;
    QString m_strVoltageL2;
    QString m_strVoltageL3;
    QString m_strCurrentL1;
    QString m_strCurrentL2;
    QString m_strCurrentL3;
    QString m_strActivePower;
    QString m_strActivePowerL1;
    QString m_strActivePowerL2;
    QString m_strActivePowerL3;
    QString m_strReactivePower;
    QString m_strReactivePowerL1;
    QString m_strReactivePowerL2;
    QString m_strReactivePowerL3;
    QString m_strPowerFactor;
    QString m_strPowerFactorL1;
    QString m_strPowerFactorL2;
    QString m_strPowerFactorL3;
    QString m_strFrequency;

    bool operator==(const CCEnergy&) const = default;
};

using CDanDataList = QList<CDanData>;
using CCEnergyList = QList<CCEnergy>;

// One column of a list window: its header, its width in pixels and the field it shows.
template <class Record> struct RecordColumn
{
    const char* header;
    int width;
    QString Record::*field;
};

// The columns after "Number", in field order.
inline const std::array<RecordColumn<CDanData>, 14> kDanDataColumns{{
    {"Address", 50, &CDanData::m_strAddress},
    {"SN", 60, &CDanData::m_strSN},
    {"Current Active kWh", 100, &CDanData::m_strActiveKWh},
    {"Current positive kWh", 100, &CDanData::m_strPositiveKWh},
    {"Current reverse kWh", 100, &CDanData::m_strReverseKWh},
    {"L1 Voltage", 60, &CDanData::m_strVoltageL1},
    {"L1 Current", 60, &CDanData::m_strCurrentL1},
    {"Active Power", 80, &CDanData::m_strActivePower},
    {"Reactive Power", 90, &CDanData::m_strReactivePower},
    {"Apparent Power", 90, &CDanData::m_strApparentPower},
    {"Constant", 90, &CDanData::m_strConstant},
    {"Tariff number", 90, &CDanData::m_strTariffNumber},
    {"Power Factor", 60, &CDanData::m_strPowerFactor},
    {"Frequency", 40, &CDanData::m_strFrequency},
}};

inline const std::array<RecordColumn<CCEnergy>, 25> kEnergyColumns{{
    {"Address", 50, &CCEnergy::m_strAddress},
    {"SN", 60, &CCEnergy::m_strSN},
    {"Current Active kWh", 100, &CCEnergy::m_strActiveKWh},
    {"Current Reactive kWh", 100, &CCEnergy::m_strReactiveKWh},
    {"Current positive kWh", 100, &CCEnergy::m_strPositiveKWh},
    {"Current reverse kWh", 100, &CCEnergy::m_strReverseKWh},
    {"L1 Voltage", 60, &CCEnergy::m_strVoltageL1},
    {"L2 Voltage", 60, &CCEnergy::m_strVoltageL2},
    {"L3 Voltage", 60, &CCEnergy::m_strVoltageL3},
    {"L1 Current", 60, &CCEnergy::m_strCurrentL1},
    {"L2 Current", 60, &CCEnergy::m_strCurrentL2},
    {"L3 Current", 60, &CCEnergy::m_strCurrentL3},
    {"Active Power", 80, &CCEnergy::m_strActivePower},
    {"L1 Active Power", 90, &CCEnergy::m_strActivePowerL1},
    {"L2 Active Power", 90, &CCEnergy::m_strActivePowerL2},
    {"L3 Active Power", 90, &CCEnergy::m_strActivePowerL3},
    {"Reactive Power", 90, &CCEnergy::m_strReactivePower},
    {"L1 Reactive Power", 90, &CCEnergy::m_strReactivePowerL1},
    {"L2 Reactive Power", 90, &CCEnergy::m_strReactivePowerL2},
    {"L3 Reactive Power", 90, &CCEnergy::m_strReactivePowerL3},
    {"Power Factor", 60, &CCEnergy::m_strPowerFactor},
    {"L1 Power Factor", 90, &CCEnergy::m_strPowerFactorL1},
    {"L2 Power Factor", 90, &CCEnergy::m_strPowerFactorL2},
    {"L3 Power Factor", 90, &CCEnergy::m_strPowerFactorL3},
    {"Frequency", 40, &CCEnergy::m_strFrequency},
}};
