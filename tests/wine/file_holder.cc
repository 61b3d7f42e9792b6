// A Windows program that holds a file open without sharing, as a running
// program holds its own files: nobody can replace or delete the file while it
// runs. Prints "holding" once the file is open, then waits until the stop
// file exists (at most two minutes) and ends.
//
//   file_holder.exe <file to hold> <stop file>
#include <cstdio>

#include "platform/win32/windows_api.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: file_holder <file to hold> <stop file>\n");
    return 2;
  }
  HANDLE held = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    std::printf("cannot open the file (%lu)\n", GetLastError());
    return 1;
  }
  std::printf("holding\n");
  std::fflush(stdout);
  for (int round = 0; round < 1200; ++round) {
    if (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(100);
  }
  CloseHandle(held);
  return 0;
}
