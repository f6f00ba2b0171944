#include "ReportImage.h"

#include <QDir>

QString ReportImagePath(const QString& reportDir) {
    const qsizetype at = reportDir.toUpper().indexOf(QLatin1String("REL"));
    const QString base = at < 0 ? QString() : reportDir.left(at);
    return QDir::toNativeSeparators(base + QLatin1String("RelFTP/armasbra.bmp"));
}
