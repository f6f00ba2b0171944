#pragma once
// The single guard at the Qt boundary. Every entry from a Qt signal, event or timer runs
// through HostGuard::run: the silent abort is swallowed, any other error is shown in the
// host's error dialog, and nothing ever propagates into Qt's event loop.
#include "core/HostExport.h"

#include <QObject>
#include <functional>
#include <utility>

class FIS_EXPORT HostGuard {
public:
    // Returns true when fn ran to its end, false when it ended by an abort or an error.
    static bool run(const std::function<void()>& fn) noexcept;
};

// connect() whose slot runs under the guard.
template <typename Sender, typename Signal, typename Fn>
QMetaObject::Connection guardedConnect(Sender* sender, Signal signal, QObject* context, Fn fn) {
    return QObject::connect(sender, signal, context, [fn = std::move(fn)](auto&&... args) {
        HostGuard::run([&] { fn(std::forward<decltype(args)>(args)...); });
    });
}

// Runs fn and then restore, also when fn throws (the error goes on after restore).
template <typename Fn, typename Restore> void withRestore(Fn&& fn, Restore&& restore) {
    try {
        fn();
    } catch (...) {
        restore();
        throw;
    }
    restore();
}
