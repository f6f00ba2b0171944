#pragma once
// The answer of one remote call as the connection hands it to the caller. A connection whose
// ThrowException is false never throws from a call: transport failures, refused requests and
// server errors all arrive as an answer with ok == false and a readable error text.
#include "HostExport.h"

#include <QCborValue>
#include <QString>

struct FIS_EXPORT TServerAnswer {
    bool ok = false;
    QCborValue payload; // the method's result when ok
    QString error;      // the clerk-readable text when !ok

    static TServerAnswer success(const QCborValue& payload) { return {true, payload, {}}; }
    static TServerAnswer failure(const QString& text) { return {false, {}, text}; }
};

// Gives the payload of a successful answer. With raiseOnError true a failed answer raises
// EHostError with its text; with false it gives an undefined value. The third argument is kept
// for the callers' signature and selects nothing.
FIS_EXPORT QCborValue CheckResultServ(const TServerAnswer& answer, bool raiseOnError, int reserved);
