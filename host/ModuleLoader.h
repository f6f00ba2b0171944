#pragma once
// Loading a screen module: a shared library exporting (extern "C")
//   void IniProc();      opens the module's screen
//   void Initialize();   runs the units' start routines (once, after loading)
//   void Finalize();     runs their stop routines in reverse order (once, before unloading)
//   const TPackageInfoTable* GetPackageInfoTable();  the units and their routines
#include "core/HostExport.h"

#include <QString>
#include <memory>

extern "C" {
struct TPackageUnitEntry {
    const char* name;
    void (*init)();
    void (*finit)();
};
struct TPackageInfoTable {
    int unitCount;
    const TPackageUnitEntry* units; // in start order
};
}

class QLibrary;

class FIS_EXPORT TModuleLibrary {
public:
    TModuleLibrary();
    ~TModuleLibrary(); // finalizes and unloads

    // Loads path, resolves the four exports, checks the unit table and calls Initialize.
    // On failure returns false with ErrorText() naming the file and, where it applies, the
    // missing symbol; nothing stays loaded.
    bool Load(const QString& path);
    bool Loaded() const { return m_initialized; }
    QString FileName() const { return m_path; }
    QString ErrorText() const { return m_error; }
    const TPackageInfoTable* PackageInfo() const { return m_table; }

    // Calls the module's IniProc.
    void IniProc();
    // Calls Finalize (once) and unloads. Close every screen of the module first.
    void Unload();

    // Where a module library is looked for when nothing is configured: beside the executable,
    // then in <exe dir>/../lib/fis98100 (the installed layout). When neither has it, the path
    // beside the executable (so that the error names it).
    static QString DefaultPath(const QString& libraryName);
    static QString DefaultPath(const QString& libraryName, const QString& executableDir);

private:
    std::unique_ptr<QLibrary> m_lib;
    QString m_path;
    QString m_error;
    void (*m_iniProc)() = nullptr;
    void (*m_initialize)() = nullptr;
    void (*m_finalize)() = nullptr;
    const TPackageInfoTable* m_table = nullptr;
    bool m_initialized = false;
};
