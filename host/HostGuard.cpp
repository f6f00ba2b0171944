#include "HostGuard.h"

#include "HostDialogs.h"
#include "core/HostExceptions.h"

bool HostGuard::run(const std::function<void()>& fn) noexcept {
    try {
        fn();
        return true;
    } catch (const EAbort&) {
    } catch (const EHostError& e) {
        try {
            HostDialogs().showError(e.text());
        } catch (...) {
        }
    } catch (const std::exception& e) {
        try {
            HostDialogs().showError(QString::fromLocal8Bit(e.what()));
        } catch (...) {
        }
    } catch (...) {
        try {
            HostDialogs().showError(QStringLiteral("Erro inesperado."));
        } catch (...) {
        }
    }
    return false;
}
