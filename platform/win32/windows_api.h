// The Windows API for the Windows backend: the one file of the project that
// includes <windows.h>.
//
// <windows.h> maps many function names to their ANSI or wide entry point by a
// macro (CreateDirectory -> CreateDirectoryA or CreateDirectoryW). The seam
// names its methods after the calls they mirror, so those macros would rename
// the seam's methods in every file that sees them, and a backend's override
// would no longer match the interface it implements. This header undefines
// every such macro whose name the seam or the core uses; the backend then
// calls the entry point it means by its full name, the ANSI one where the
// control passes ANSI text (CreateDirectoryA, MoveFileExA, RegQueryValueExA,
// ...). scripts/cross_check.sh fails when a name the seam or the core uses is
// still a macro after this header, and scripts/check_layers.sh when another
// file includes <windows.h>.
#ifndef QV_PLATFORM_WIN32_WINDOWS_API_H_
#define QV_PLATFORM_WIN32_WINDOWS_API_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <wincrypt.h>
#include <winver.h>
// COM, automation and the control interfaces (the component library, com/).
#include <ole2.h>
#include <olectl.h>
#include <objsafe.h>
#include <dispex.h>
// The HTTP stack and the cabinet decompressor (transfers, archives).
#include <wininet.h>
#include <fdi.h>

#undef AddFontResource
#undef CopyFile
#undef CreateDirectory
#undef CreateProcess
#undef DeleteFile
#undef GetCurrentDirectory
#undef GetFileAttributes
#undef GetFileVersionInfo
#undef GetFileVersionInfoSize
#undef GetLongPathName
#undef GetShortPathName
#undef GetSystemDirectory
#undef GetVersionEx
#undef GetWindowsDirectory
#undef LookupPrivilegeValue
#undef MessageBox
#undef MoveFile
#undef MoveFileEx
#undef RemoveDirectory
#undef SetFileAttributes

#endif  // QV_PLATFORM_WIN32_WINDOWS_API_H_
