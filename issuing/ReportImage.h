#pragma once
// Where the DARF report finds its image, from the report directory.
#include <QString>

// The report directory up to its first "REL" (any case), then "RelFTP/armasbra.bmp", with the
// platform's separators; "RelFTP/armasbra.bmp" alone when the directory holds no "REL".
QString ReportImagePath(const QString& reportDir);
