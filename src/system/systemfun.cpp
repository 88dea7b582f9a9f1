#include "system/systemfun.h"

#include "modbus/modbusengine.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QSettings>
#include <QTemporaryFile>
#include <QTextDocument>
#include <QUrl>
#include <QVariant>

#include <array>
#include <climits>
#include <cstdint>

namespace {

const QString versionText = QStringLiteral("0.2.04");

// Goes between the JSON string quotes as it is: its attribute quotes are kept
// escaped, and nothing else in it needs escaping.
const QString aboutFragment = QStringLiteral(
    "<div class=\\\"about\\\"><p><b>Orvo</b> 0.2.04</p>"
    "<p>Configures and reads measuring devices that speak Modbus, over a serial line or TCP.</p>"
    "<p class=\\\"copyright\\\">Copyright &copy; 2012-2026 Brask. All rights reserved.</p></div>");

// Stored values may be numbers or texts; anything that is not an integer reads as 0.
qint64 storedInteger(const QSettings &settings, const QString &key)
{
    bool ok = false;
    const qint64 value = settings.value(key).toLongLong(&ok);
    return ok ? value : 0;
}

// The boot loader reads 16-bit and 32-bit signed numbers: wrap as such a field would.
QString asInt16(qint64 value)
{
    return QString::number(static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(value) & 0xFFFFu)));
}

QString asInt32(qint64 value)
{
    return QString::number(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value) & 0xFFFFFFFFu)));
}

// Pages may reference images and style sheets anywhere; a report is rendered
// from its own text only, so that nothing is fetched or read from disk.
class SelfContainedDocument : public QTextDocument
{
public:
    using QTextDocument::QTextDocument;

protected:
    QVariant loadResource(int, const QUrl &) override { return QVariant(); }
};

} // namespace

SystemFun::SystemFun(QObject *parent) : QObject(parent)
{
    baudCodes.insert(2400, 0);
    baudCodes.insert(4800, 1);
    baudCodes.insert(9600, 2);
    baudCodes.insert(19200, 4);
    baudCodes.insert(38400, 6);
    baudCodes.insert(57600, 7);
    baudCodes.insert(115200, 9);
}

QByteArray SystemFun::getGeneralInfo()
{
    return generalInfo(QCoreApplication::applicationFilePath());
}

QByteArray SystemFun::generalInfo(const QString &executablePath)
{
    QString text = QStringLiteral("{\"ver\":\"") + versionText;
    text += QStringLiteral("\",\"canUpdate\":") + QLatin1Char('1');
    text += QStringLiteral(",\"canAddNewModules\":") + QLatin1Char('1');
    text += QStringLiteral(",\"canUpdateFirmware\":") + QLatin1Char('1');
    text += QStringLiteral(",\"canSendMailReport\":") + QLatin1Char('1');
    text += QStringLiteral(", \"copy\":\"") + aboutFragment + QLatin1Char('"');
    text += QStringLiteral(", \"langList\":") + QStringLiteral("[\"EN\",\"PL\",\"ESP\",\"DE\",\"IT\"]");
    text += QLatin1Char(',') + QStringLiteral("\"osType\":\"win\",\"osVer\":") + QString::number(platform::osVersionCode());
    const QString elevatedEnding = QStringLiteral("admin") + platform::executableSuffix();
    text += executablePath.endsWith(elevatedEnding, Qt::CaseSensitive) ? QStringLiteral(",\"runAsAdmin\":1")
                                                                      : QStringLiteral(",\"runAsAdmin\":0");
    text += QLatin1Char('}');
    return text.toLatin1();
}

QStringList SystemFun::bootloaderArguments()
{
    const QSettings settings(QStringLiteral("Brask"), QStringLiteral("Orvo"));
    const qint64 slaveId = storedInteger(settings, QStringLiteral("slaveID"));
    const qint64 baudIndex = storedInteger(settings, QStringLiteral("baudRate"));
    const qint64 mode = storedInteger(settings, QStringLiteral("mode"));
    const qint64 braskId = storedInteger(settings, QStringLiteral("Brask_ID"));
    const qint64 selectedPort = storedInteger(settings, QStringLiteral("Selected_Port"));

    // Rates the boot loader has no code for run at its 9600 code.
    // An index beyond the int range is out of the table too, not wrapped into it.
    const int index = baudIndex < 0 || baudIndex > INT_MAX ? -1 : static_cast<int>(baudIndex);
    const int baudCode = baudCodes.value(ModbusEngine::baudRateAt(index), 2);

    return {asInt16(selectedPort - 1), asInt16(baudCode), asInt16(mode + 3), asInt16(slaveId), asInt32(braskId)};
}

QByteArray SystemFun::runFirmwareUpdater()
{
    const QStringList arguments = bootloaderArguments();
    // The boot loader ships beside the executable; an installed one on PATH also serves.
    const QString program = QStringLiteral("Bootloader") + platform::executableSuffix();
    const QFileInfo besideUs(platform::executableFolder() + QLatin1Char('/') + program);
    const QString toStart = besideUs.isFile() && besideUs.isExecutable() ? besideUs.absoluteFilePath() : program;
    // Whether it starts is not the page's concern: the reply stays the same.
    platform::startDetached(toStart, arguments);
    return QByteArrayLiteral("{\"ok\":\"1\"}");
}

bool SystemFun::isOpenableAddress(const QString &address)
{
    if (address.isEmpty())
        return false;
    for (const QChar c : address) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    }
    for (const char *scheme : {"ftp://", "ftps://", "sftp://"}) {
        if (address.startsWith(QLatin1String(scheme), Qt::CaseInsensitive))
            return address.size() > static_cast<qsizetype>(qstrlen(scheme));
    }
    // A relative path would depend on whatever folder Orvo was started from.
    const QFileInfo info(address);
    return info.isAbsolute() && info.isDir();
}

QByteArray SystemFun::openFtpInExplorer(const ParameterMap &params)
{
    static const QByteArray parameterError = QByteArrayLiteral("{\"error\":\"Parameter error!\"}");
    if (!params.contains("address"))
        return parameterError;
    // Pages encode the address twice so that '%', '&' and '+' survive the query.
    const QString address = QString::fromUtf8(QByteArray::fromPercentEncoding(params.value("address")));
    if (!isOpenableAddress(address))
        return parameterError;
    // One argument, no shell: the address cannot become an option or a command.
    platform::startDetached(QStringLiteral("xdg-open"), {address});
    return QByteArrayLiteral("{\"ok\":\"FTP opened\"}");
}

QByteArray SystemFun::htmlToPdf(const QString &html)
{
    // Text layout on a worker thread wants that thread's event dispatcher to exist.
    QEventLoop threadDispatcher;
    Q_UNUSED(threadDispatcher);

    SelfContainedDocument document;
    QTemporaryFile file;
    if (!file.open())
        return QByteArray();

    document.setHtml(html);

    QPdfWriter writer(&file);
    writer.setResolution(96);
    const QPageLayout layout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(0, 4, 0, 4),
                             QPageLayout::Millimeter);
    if (!writer.setPageLayout(layout))
        return QByteArray();

    // The layout pages match the printable area, so nothing is scaled or cut.
    const QRect printable = writer.pageLayout().paintRectPixels(writer.resolution());
    document.setPageSize(QSizeF(printable.width(), printable.height()));

    document.print(&writer);

    if (!file.flush() || !file.seek(0))
        return QByteArray();
    return file.readAll();
}
