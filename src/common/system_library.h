// Loading DLLs only from the system directory.
//
// Users run the stub from their downloads folder, where a web page may have dropped a file named
// like a system DLL. For every DLL that Windows does not protect as a "known DLL" the loader looks
// in the program's own folder first, so such a file would run inside the stub. The stub therefore
// imports statically only from known DLLs, restricts every later load to the system directory, and
// loads the rest itself from there.
#pragma once

#include <windows.h>

#include "common/strings.h"

// Restricts the search of every later DLL load of the process to the system directory
// (SetDefaultDllDirectories). Where the system lacks that call (Windows 7 without its update), it
// takes the current directory out of the search (SetDllDirectoryW(L"")) and LoadSystemLibrary
// loads by full path instead. Call it first thing, before anything can load a DLL.
void RestrictLibrarySearch();

// Composes "<system folder>\<name>" into `path`. Returns false when the system folder cannot be
// found or the path does not fit.
bool ComposeSystemFilePath(PathString& path, const wchar_t* name);

// Loads `name` (a bare file name such as L"winhttp.dll") from the system directory. Returns null
// when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* name);

// Loads, from the system directory, the DLLs that the window, the message boxes, the shell calls
// and the HTTP library load later by name, so that those later loads find them already loaded.
void PreloadSystemLibraries();
