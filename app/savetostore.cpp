#include "savetostore.h"

#include "filedialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <array>
#include <utility>

#include <unistd.h>

namespace {

template <class Record> struct StoredField
{
    const char* key;
    QString Record::*field;
};

const std::array<StoredField<CDanData>, 13> kSingleFields{{
    {"sn", &CDanData::m_strSN},
    {"active_kwh", &CDanData::m_strActiveKWh},
    {"positive_kwh", &CDanData::m_strPositiveKWh},
    {"reverse_kwh", &CDanData::m_strReverseKWh},
    {"voltage_l1", &CDanData::m_strVoltageL1},
    {"current_l1", &CDanData::m_strCurrentL1},
    {"active_power", &CDanData::m_strActivePower},
    {"reactive_power", &CDanData::m_strReactivePower},
    {"apparent_power", &CDanData::m_strApparentPower},
    {"power_factor", &CDanData::m_strPowerFactor},
    {"frequency", &CDanData::m_strFrequency},
    {"constant", &CDanData::m_strConstant},
    {"tariff_number", &CDanData::m_strTariffNumber},
}};

const std::array<StoredField<CCEnergy>, 24> kThreeFields{{
    {"sn", &CCEnergy::m_strSN},
    {"active_kwh", &CCEnergy::m_strActiveKWh},
    {"reactive_kwh", &CCEnergy::m_strReactiveKWh},
    {"positive_kwh", &CCEnergy::m_strPositiveKWh},
    {"reverse_kwh", &CCEnergy::m_strReverseKWh},
    {"voltage_l1", &CCEnergy::m_strVoltageL1},
    {"voltage_l2", &CCEnergy::m_strVoltageL2},
    {"voltage_l3", &CCEnergy::m_strVoltageL3},
    {"current_l1", &CCEnergy::m_strCurrentL1},
    {"current_l2", &CCEnergy::m_strCurrentL2},
    {"current_l3", &CCEnergy::m_strCurrentL3},
    {"active_power", &CCEnergy::m_strActivePower},
    {"active_power_l1", &CCEnergy::m_strActivePowerL1},
    {"active_power_l2", &CCEnergy::m_strActivePowerL2},
    {"active_power_l3", &CCEnergy::m_strActivePowerL3},
    {"reactive_power", &CCEnergy::m_strReactivePower},
    {"reactive_power_l1", &CCEnergy::m_strReactivePowerL1},
    {"reactive_power_l2", &CCEnergy::m_strReactivePowerL2},
    {"reactive_power_l3", &CCEnergy::m_strReactivePowerL3},
    {"power_factor", &CCEnergy::m_strPowerFactor},
    {"power_factor_l1", &CCEnergy::m_strPowerFactorL1},
    {"power_factor_l2", &CCEnergy::m_strPowerFactorL2},
    {"power_factor_l3", &CCEnergy::m_strPowerFactorL3},
    {"frequency", &CCEnergy::m_strFrequency},
}};

template <class Record, std::size_t N>
StoredResult ResultOf(const Record& record, const std::array<StoredField<Record>, N>& fields,
                      std::chrono::system_clock::time_point savedAt, const std::string& host,
                      const char* type)
{
    StoredResult result;
    result.time = savedAt;
    result.host = host;
    result.command = "read-meter"; // the lists keep no port: the column stays empty
    result.properties.push_back(StoredProperty{"type", type, std::nullopt});
    result.ok = true;
    bool numeric = !record.m_strAddress.isEmpty();
    const int address = record.m_strAddress.toInt(&numeric);
    if (numeric) {
        result.address = address;
    }
    result.serialNumber = record.m_strSN.toStdString();
    for (const auto& field : fields) {
        result.reading.emplace_back(field.key, (record.*field.field).toStdString());
    }
    return result;
}

// A file, or a PostgreSQL URL typed in; OK stays off while the line is empty.
QString AskWithDialog(QWidget* parent, const QString& suggested)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("保存到数据库"));
    auto* layout = new QGridLayout(&dialog);
    layout->addWidget(
        new QLabel(QStringLiteral("A file, or postgresql://user@host/database:"), &dialog), 0, 0, 1,
        2);
    auto* url = new QLineEdit(suggested, &dialog);
    url->setMinimumWidth(360);
    layout->addWidget(url, 1, 0);
    auto* browse = new QPushButton(QStringLiteral("浏览(&B)..."), &dialog);
    layout->addWidget(browse, 1, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(buttons, 2, 0, 1, 2);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(url, &QLineEdit::textChanged, &dialog, [buttons](const QString& text) {
        buttons->button(QDialogButtonBox::Ok)->setEnabled(!text.trimmed().isEmpty());
    });
    QObject::connect(browse, &QPushButton::clicked, &dialog, [&dialog, url] {
        const QString current =
            url->text().startsWith(QStringLiteral("postgres")) ? QString() : url->text();
        const QString path = GetSaveFileName(&dialog, QStringLiteral("保存到数据库"),
                                             current.isEmpty() ? QStringLiteral("quorvex.sqlite")
                                                               : QFileInfo(current).fileName(),
                                             QStringLiteral("SQLite files (*.sqlite)"));
        if (!path.isEmpty()) {
            url->setText(path);
        }
    });
    if (dialog.exec() != QDialog::Accepted) {
        return {};
    }
    return url->text().trimmed();
}

StoreUrlAsker& Asker()
{
    static StoreUrlAsker asker = AskWithDialog;
    return asker;
}

} // namespace

std::vector<StoredResult> ReadingsForStore(const CDanDataList& single, const CCEnergyList& three,
                                           std::chrono::system_clock::time_point savedAt,
                                           const std::string& host)
{
    // A microsecond apart, so that the store gives them back in the lists' order.
    std::vector<StoredResult> results;
    const auto next = [&] { return savedAt + std::chrono::microseconds(results.size()); };
    for (const CDanData& record : single) {
        results.push_back(ResultOf(record, kSingleFields, next(), host, "single"));
    }
    for (const CCEnergy& record : three) {
        results.push_back(ResultOf(record, kThreeFields, next(), host, "three"));
    }
    return results;
}

QString SaveReadings(const QString& url, const CDanDataList& single, const CCEnergyList& three)
{
    if (single.isEmpty() && three.isEmpty()) {
        return QStringLiteral("There are no readings to save.");
    }
    std::string error;
    const std::unique_ptr<Store> store = Store::Open(url.toStdString(), &error);
    if (!store) {
        return QStringLiteral("Nothing was saved: %1").arg(QString::fromStdString(error));
    }
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const auto results = ReadingsForStore(single, three, std::chrono::system_clock::now(), host);
    const std::size_t waitingBefore = store->pending();
    for (const StoredResult& result : results) {
        store->record(result);
    }
    const std::size_t waiting = store->pending();
    QString text = QStringLiteral("%1 readings saved to %2.").arg(results.size()).arg(url);
    if (waiting > waitingBefore) {
        text = QStringLiteral(
                   "The store cannot be written now: %1 readings wait in %2 and are sent on by the "
                   "next save to it.\n%3")
                   .arg(waiting)
                   .arg(QString::fromStdString(store->spoolPath()),
                        QString::fromStdString(store->warning()));
    }
    return text;
}

QString AskStoreUrl(QWidget* parent, const QString& suggested)
{
    return Asker()(parent, suggested);
}

StoreUrlAsker SetStoreUrlAsker(StoreUrlAsker asker)
{
    StoreUrlAsker previous = std::exchange(Asker(), std::move(asker));
    if (!Asker()) {
        Asker() = AskWithDialog;
    }
    return previous;
}
