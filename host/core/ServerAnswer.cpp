#include "ServerAnswer.h"

#include "HostExceptions.h"

QCborValue CheckResultServ(const TServerAnswer& answer, bool raiseOnError, int /*reserved*/) {
    if (answer.ok)
        return answer.payload;
    if (raiseOnError)
        throw EHostError(answer.error.isEmpty()
                             ? QStringLiteral("O servidor de aplicação não respondeu.")
                             : answer.error);
    return QCborValue();
}
