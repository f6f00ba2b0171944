#include "ModuleLoader.h"

#include "core/HostExceptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

using TableFn = const TPackageInfoTable* (*)();

TModuleLibrary::TModuleLibrary() = default;

TModuleLibrary::~TModuleLibrary() {
    Unload();
}

bool TModuleLibrary::Load(const QString& path) {
    Unload();
    m_path = path;
    m_error.clear();
    if (!QFileInfo::exists(path)) {
        m_error = QStringLiteral("O módulo '%1' não foi encontrado.").arg(path);
        return false;
    }
    m_lib = std::make_unique<QLibrary>(path);
    // Resolve everything now and share the host's exception types with the module.
    m_lib->setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!m_lib->load()) {
        m_error = QStringLiteral("Não foi possível carregar o módulo '%1': %2")
                      .arg(path, m_lib->errorString());
        m_lib.reset();
        return false;
    }
    const char* names[] = {"IniProc", "Initialize", "Finalize", "GetPackageInfoTable"};
    QFunctionPointer fns[4] = {};
    for (int i = 0; i < 4; ++i) {
        fns[i] = m_lib->resolve(names[i]);
        if (!fns[i]) {
            m_error = QStringLiteral("O módulo '%1' não exporta o símbolo '%2'.")
                          .arg(path, QLatin1String(names[i]));
            m_lib->unload();
            m_lib.reset();
            return false;
        }
    }
    m_iniProc = reinterpret_cast<void (*)()>(fns[0]);
    m_initialize = reinterpret_cast<void (*)()>(fns[1]);
    m_finalize = reinterpret_cast<void (*)()>(fns[2]);
    const TPackageInfoTable* table = reinterpret_cast<TableFn>(fns[3])();
    bool tableOk = table && table->unitCount > 0 && table->units;
    for (int i = 0; tableOk && i < table->unitCount; ++i)
        tableOk = table->units[i].name && table->units[i].init && table->units[i].finit;
    if (!tableOk) {
        m_error = QStringLiteral("O módulo '%1' tem uma tabela de unidades inválida "
                                 "(GetPackageInfoTable).")
                      .arg(path);
        m_lib->unload();
        m_lib.reset();
        return false;
    }
    m_table = table;
    // A start routine that fails must not take the host down; the module stays unloaded.
    QString failure;
    try {
        m_initialize();
    } catch (const EHostError& e) {
        failure = e.text();
    } catch (const std::exception& e) {
        failure = QString::fromLocal8Bit(e.what());
    } catch (...) {
        failure = QStringLiteral("erro desconhecido");
    }
    if (!failure.isEmpty()) {
        m_error =
            QStringLiteral("O módulo '%1' falhou ao iniciar (Initialize): %2").arg(path, failure);
        m_table = nullptr;
        m_lib->unload();
        m_lib.reset();
        return false;
    }
    m_initialized = true;
    return true;
}

void TModuleLibrary::IniProc() {
    if (!m_initialized)
        throw EHostError(QStringLiteral("O módulo '%1' não está carregado.").arg(m_path));
    m_iniProc();
}

void TModuleLibrary::Unload() {
    if (m_initialized) {
        m_initialized = false;
        m_finalize();
    }
    if (m_lib) {
        m_lib->unload();
        m_lib.reset();
    }
    m_table = nullptr;
    m_iniProc = m_initialize = m_finalize = nullptr;
}

QString TModuleLibrary::DefaultPath(const QString& libraryName) {
    return DefaultPath(libraryName, QCoreApplication::applicationDirPath());
}

QString TModuleLibrary::DefaultPath(const QString& libraryName, const QString& executableDir) {
    const QString beside = executableDir + QLatin1Char('/') + libraryName;
    if (QFileInfo::exists(beside))
        return beside;
    const QString installed =
        QDir::cleanPath(executableDir + QStringLiteral("/../lib/fis98100/") + libraryName);
    if (QFileInfo::exists(installed))
        return installed;
    return beside;
}
