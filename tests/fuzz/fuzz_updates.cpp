// The path below the staging folder that a module file's URL is written to —
// whatever the URL, the path must stay inside the folder — and the parsing of
// module and file lists, which must never crash and keep the array's length.

#include "fuzzsupport.h"

#include "modules/updates.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::ensureApplication();
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QStringList items;
    if (Updates::parseList(bytes, &items)) {
        if (items.size() != QJsonDocument::fromJson(bytes).array().size())
            std::abort();
    }
    const QString url = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString relative = Updates::relativePathFromUrl(url);
    if (relative.isEmpty())
        return 0;
    if (!relative.startsWith(QLatin1Char('/')) || relative.endsWith(QLatin1Char('/'))
        || relative.contains(QLatin1Char('\\')) || relative.contains(QChar(0)))
        std::abort();
    const QStringList pieces = relative.mid(1).split(QLatin1Char('/'));
    for (const QString &piece : pieces)
        if (piece.isEmpty() || piece == QLatin1String(".") || piece == QLatin1String(".."))
            std::abort();
    static const QString staging = QStringLiteral("/staging");
    const QString joined = QDir::cleanPath(staging + relative);
    if (!joined.startsWith(staging + QLatin1Char('/')))
        std::abort();
    return 0;
}
