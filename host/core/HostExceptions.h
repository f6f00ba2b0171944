#pragma once
// The host's two ways of ending an action.
//  - EAbort: the silent abort. The single guard at the Qt boundary swallows it; nothing is shown.
//  - EHostError: an error whose text the clerk reads in the host's error dialog.
#include "HostExport.h"

#include <QString>
#include <stdexcept>

class FIS_EXPORT EAbort : public std::exception {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

class FIS_EXPORT EHostError : public std::runtime_error {
public:
    explicit EHostError(const QString& text)
        : std::runtime_error(text.toStdString()), m_text(text) {}
    const QString& text() const { return m_text; }

private:
    QString m_text;
};
